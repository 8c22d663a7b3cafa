// The texts of the release list and of downloads that the user reads.
#pragma once

// Failures of a request.
extern const wchar_t kBadAddress[];
extern const wchar_t kNetworkInitFailed[];
extern const wchar_t kCannotConnect[];
extern const wchar_t kCannotCreateRequest[];
extern const wchar_t kRequestFailed[];
extern const wchar_t kCannotReadAnswer[];
extern const wchar_t kDownloadDataFailed[];
extern const wchar_t kCannotCreateDownload[];
extern const wchar_t kCannotWriteDownload[];

// Failures of the release list.
extern const wchar_t kListUnreadable[];
extern const wchar_t kListNotHttps[];
extern const wchar_t kListUnparsable[];
extern const wchar_t kListExpired[];
extern const wchar_t kBadListSignatureText[];
extern const wchar_t kChooseVersion[];
