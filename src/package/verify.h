// SHA-256 of a downloaded package, with progress, and the rule that a package must meet.
#pragma once

#include <string>

bool sha256_file_hex(const std::wstring& path, std::string& digest);   // 64 lower-case hex digits
// True when the file's digest equals `expected` byte for byte (no trimming, no case folding).
bool package_digest_matches(const std::wstring& path, const std::string& expected);
