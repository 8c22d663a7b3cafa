// Fetching one file over HTTP(S) into memory or onto disk, with progress for files.
#pragma once

#include <string>

// GET `url`; with an empty `destination` the body goes into `body` (when given), else into
// that file. False with `error` set to the message of the failing step.
bool http_download(const std::string& url, std::string* body, const std::wstring& destination,
                   std::wstring& error);
