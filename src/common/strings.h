// Text and path helpers shared by every part of the installer. None of them fails loudly:
// each yields empty text where it cannot produce a result and the caller decides.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Text for the user to read: always valid UTF-8, a byte that does not decode shown as U+FFFD.
std::string display_text(const std::string& text);
std::wstring to_lower_wide(const std::wstring& text);   // towlower per code unit
std::wstring parent_path(const std::wstring& path);     // "." when there is no separator
std::wstring file_name_of(const std::wstring& path);    // last component, empty after a trailing separator
// Trims blanks, drops one pair of enclosing double quotes, drops trailing separators while longer than 3.
std::wstring clean_path_input(const std::wstring& text);
std::wstring format_byte_size(uint64_t bytes);          // "1023 B", "1.5 KB", "2048.0 GB"
std::wstring join_path(const std::wstring& parent, const std::wstring& name);   // parent + separator + name
bool is_separator(wchar_t c);                           // "\" or "/"

// Byte-wise suffix test after ASCII lower-casing of both sides.
bool ends_with_ignore_case(const std::string& text, const std::string& suffix);
std::string base64_encode(const std::string& bytes);    // standard alphabet, padded, one line
// Standard padded base64 to bytes; blanks and line breaks anywhere are skipped. False on anything else.
bool base64_decode(const std::string& text, std::string& bytes);
