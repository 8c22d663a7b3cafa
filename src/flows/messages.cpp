#include "flows/messages.h"

const wchar_t kPackageNotFound[] = L"更新包不存在。";
const wchar_t kUnknownInstallation[] = L"无法识别安装目录，卸载已取消。";
