// SHA-256 of a file and of text, as lower-case hex.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The digest of a regular file's bytes (64 lower-case hex digits), read front to back a few
// pieces ahead of the hashing; `after_piece` (may be empty) runs after a piece once a millisecond
// has passed since it last ran, and after the last, with the bytes so far and the file's size (0
// when unknown); the window turns every half event slice while a slow read is awaited. A file of
// up to 1 MiB is read and hashed at once. False, with no digest, when the file cannot be opened
// or any read fails.
bool sha256_of_file(const std::wstring& path, std::string& hex,
                    const std::function<void(uint64_t done, uint64_t size)>& after_piece);
std::string sha256_of_text(const std::string& text);     // 64 lower-case hex digits; empty when unavailable
