#include "package/messages.h"

const wchar_t kNoCarriedPackage[] = L"离线安装器未包含安装包数据。";
const wchar_t kCleaningWorkStatus[] = L"正在清理临时文件...";
