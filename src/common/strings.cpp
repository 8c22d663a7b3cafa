#include "common/strings.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwctype>

#include "platform/platform.h"

std::string display_text(const std::string& text) {
  std::wstring wide = plat::utf8_to_wide(text);
  // The escapes of undecodable bytes, like any other unpaired surrogate, are nothing to show;
  // a pair (where wide text is UTF-16) is one character and stays.
  auto high = [](wchar_t c) { return static_cast<uint32_t>(c) >= 0xD800 && static_cast<uint32_t>(c) <= 0xDBFF; };
  auto low = [](wchar_t c) { return static_cast<uint32_t>(c) >= 0xDC00 && static_cast<uint32_t>(c) <= 0xDFFF; };
  for (size_t i = 0; i < wide.size(); ++i) {
    if (high(wide[i]) && i + 1 < wide.size() && low(wide[i + 1])) {
      ++i;
      continue;
    }
    if (high(wide[i]) || low(wide[i])) wide[i] = static_cast<wchar_t>(0xFFFD);
  }
  return plat::wide_to_utf8(wide);
}

std::wstring to_lower_wide(const std::wstring& text) {
  std::wstring out(text);
  for (auto& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return out;
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

static size_t last_separator(const std::wstring& path) {
  for (size_t i = path.size(); i > 0; --i)
    if (is_separator(path[i - 1])) return i - 1;
  return std::wstring::npos;
}

std::wstring parent_path(const std::wstring& path) {
  size_t pos = last_separator(path);
  if (pos == std::wstring::npos) return L".";
  if (pos == 0) return path.substr(0, 1);
  return path.substr(0, pos);
}

std::wstring file_name_of(const std::wstring& path) {
  size_t pos = last_separator(path);
  if (pos == std::wstring::npos) return path;
  return path.substr(pos + 1);
}

std::wstring clean_path_input(const std::wstring& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::iswspace(static_cast<wint_t>(text[begin]))) ++begin;
  while (end > begin && std::iswspace(static_cast<wint_t>(text[end - 1]))) --end;
  std::wstring out = text.substr(begin, end - begin);
  if (out.size() >= 2 && out.front() == L'"' && out.back() == L'"') out = out.substr(1, out.size() - 2);
  while (out.size() > 3 && is_separator(out.back())) out.pop_back();
  return out;
}

std::wstring format_byte_size(uint64_t bytes) {
  static const wchar_t* const units[] = {L"B", L"KB", L"MB", L"GB"};
  if (bytes < 1024) return std::to_wstring(bytes) + L" B";
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 1;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.1f", value);
  std::wstring out;
  for (const char* p = buffer; *p; ++p) out.push_back(static_cast<wchar_t>(*p));
  return out + L" " + units[unit];
}

std::wstring join_path(const std::wstring& parent, const std::wstring& name) {
  return parent + plat::kPathSeparator + name;
}

bool ends_with_ignore_case(const std::string& text, const std::string& suffix) {
  if (suffix.size() > text.size()) return false;
  size_t offset = text.size() - suffix.size();
  for (size_t i = 0; i < suffix.size(); ++i) {
    int a = std::tolower(static_cast<unsigned char>(text[offset + i]));
    int b = std::tolower(static_cast<unsigned char>(suffix[i]));
    if (a != b) return false;
  }
  return true;
}

namespace {
const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string base64_encode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k)
      group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k)
      out.push_back(k <= n ? kBase64Alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
  }
  return out;
}

bool base64_decode(const std::string& text, std::string& bytes) {
  std::string out;
  uint32_t group = 0;
  size_t digits = 0, padding = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    const char* at = c ? std::strchr(kBase64Alphabet, c) : nullptr;
    if (c == '=') {
      if (digits % 4 < 2) return false;
      ++padding;
    } else if (!at || padding > 0) {
      return false;
    }
    group = group << 6 | (at ? static_cast<uint32_t>(at - kBase64Alphabet) : 0u);
    if (++digits % 4 == 0) {
      for (size_t k = 0; k < 3 - padding; ++k) out.push_back(static_cast<char>((group >> (16 - 8 * k)) & 0xFF));
      group = 0;
    }
  }
  if (digits % 4 != 0 || padding > 2) return false;
  bytes = std::move(out);
  return true;
}
