// SHA-256 of a downloaded package, with progress.
#pragma once

#include <string>

bool sha256_file_hex(const std::wstring& path, std::string& digest);   // 64 lower-case hex digits
