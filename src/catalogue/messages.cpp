#include "catalogue/messages.h"

const wchar_t kBadAddress[] = L"地址格式无效。";
const wchar_t kNetworkInitFailed[] = L"无法初始化网络。";
const wchar_t kCannotConnect[] = L"无法连接服务器。";
const wchar_t kCannotCreateRequest[] = L"无法创建请求。";
const wchar_t kRequestFailed[] = L"网络请求失败。";
const wchar_t kCannotReadAnswer[] = L"读取响应失败。";
const wchar_t kDownloadDataFailed[] = L"下载数据失败。";
const wchar_t kCannotCreateDownload[] = L"无法创建下载文件。";
const wchar_t kCannotWriteDownload[] = L"写入下载文件失败。";
const wchar_t kListUnreadable[] = L"读取版本列表失败。";
const wchar_t kListNotHttps[] = L"更新清单必须从 HTTPS 授权服务获取。";
const wchar_t kListUnparsable[] = L"更新清单解析失败。";
const wchar_t kListExpired[] = L"版本列表已过期。";
const wchar_t kBadListSignatureText[] = L"版本列表签名无效。";
const wchar_t kChooseVersion[] = L"请选择要安装的版本。";
