// The package archive carried behind an offline installer's executable image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Finds the last trailer in the tail of a file; true with offset and length both non-zero.
bool parse_payload_trailer(const char* tail, size_t size, uint64_t& offset, uint64_t& length);
// Copies the carried archive into the work directory; `package_path` is set once a trailer is found.
bool extract_offline_payload(std::wstring& package_path, std::wstring& error);
