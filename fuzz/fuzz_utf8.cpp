// Native text and wide text: conversions both ways (names round-trip), the text shown to the
// user, and the path and size helpers on what comes out.
#include <cmath>
#include <cstring>

#include "common/strings.h"
#include "fuzz_support.h"
#include "platform/platform.h"

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
static bool valid_utf8(const std::string& s) {
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
    if (extra == 9 || i + extra >= n + (extra == 0 ? 1 : 0)) return false;   // bad lead or cut short
    uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static const uint32_t min[] = {0, 0x80, 0x800, 0x10000};
    if (cp < min[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::wstring wide = plat::utf8_to_wide(bytes);
  if (!bytes.empty()) FUZZ_CHECK(!wide.empty());            // never empty for non-empty input
  // Names are bytes: whatever they hold, they come back as the very same bytes.
  std::string back = plat::wide_to_utf8(wide);
  FUZZ_CHECK(back == bytes);
  FUZZ_CHECK(plat::utf8_to_wide(back) == wide);
  for (wchar_t c : wide) FUZZ_CHECK(static_cast<uint32_t>(c) <= 0x10FFFF);
  // A byte that does not decode is one escape U+DC80..U+DCFF, and well-formed text holds none.
  size_t escapes = 0;
  for (wchar_t c : wide) escapes += static_cast<uint32_t>(c) >= 0xDC80 && static_cast<uint32_t>(c) <= 0xDCFF;
  FUZZ_CHECK(valid_utf8(bytes) == (escapes == 0));
  size_t ascii_in = 0, ascii_out = 0;
  for (char c : bytes) ascii_in += static_cast<unsigned char>(c) < 0x80;
  for (wchar_t c : wide) ascii_out += static_cast<uint32_t>(c) < 0x80;
  FUZZ_CHECK(ascii_in == ascii_out);

  // What the user reads is always valid UTF-8: the same text when it was, U+FFFD per escape when not.
  std::string shown = display_text(bytes);
  FUZZ_CHECK(valid_utf8(shown));
  if (valid_utf8(bytes)) FUZZ_CHECK(shown == bytes);
  std::wstring shown_wide = plat::utf8_to_wide(shown);
  FUZZ_CHECK(shown_wide.size() == wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    bool escape = static_cast<uint32_t>(wide[i]) >= 0xDC80 && static_cast<uint32_t>(wide[i]) <= 0xDCFF;
    FUZZ_CHECK(shown_wide[i] == (escape ? wchar_t(0xFFFD) : wide[i]));
  }

  // Any wide text at all: other surrogates and values past U+10FFFF become one U+FFFD each.
  std::wstring raw = raw_wide(data, size);
  std::string raw_shown = display_text(plat::wide_to_utf8(raw));
  FUZZ_CHECK(valid_utf8(raw_shown));
  bool escapes_in_raw = false;
  for (wchar_t c : raw) escapes_in_raw |= static_cast<uint32_t>(c) >= 0xDC80 && static_cast<uint32_t>(c) <= 0xDCFF;
  if (!escapes_in_raw) FUZZ_CHECK(plat::utf8_to_wide(plat::wide_to_utf8(raw)).size() == raw.size());

  std::wstring lower = to_lower_wide(wide);
  FUZZ_CHECK(lower.size() == wide.size());
  std::wstring parent = parent_path(wide), name = file_name_of(wide);
  size_t last = wide.find_last_of(L"\\/");
  if (last == std::wstring::npos) {
    FUZZ_CHECK(parent == L".");
    FUZZ_CHECK(name == wide);
  } else {
    // The path is the parent, the last separator and the name; a separator in front stays the parent.
    FUZZ_CHECK(name == wide.substr(last + 1));
    FUZZ_CHECK(parent == (last == 0 ? wide.substr(0, 1) : wide.substr(0, last)));
  }
  uint64_t count = 0;
  std::memcpy(&count, data, size < 8 ? size : 8);
  std::wstring text = format_byte_size(count);
  FUZZ_CHECK(!text.empty() && text.size() < 32);
  if (count < 1024) {
    FUZZ_CHECK(text == std::to_wstring(count) + L" B");
  } else {
    // One decimal, the largest unit up to GB that leaves at least 1, and the value close to the count.
    std::string narrow = plat::wide_to_utf8(text);
    double value = 0;
    char unit[4] = {0};
    FUZZ_CHECK(std::sscanf(narrow.c_str(), "%lf %3s", &value, unit) == 2);
    FUZZ_CHECK(narrow.find('.') != std::string::npos && narrow.find('.') + 2 == narrow.find(' '));
    static const char* const units[] = {"KB", "MB", "GB"};
    double scale = 1024;
    int index = 0;
    while (index < 2 && static_cast<double>(count) / scale >= 1024) scale *= 1024, ++index;
    FUZZ_CHECK(std::strcmp(unit, units[index]) == 0);
    FUZZ_CHECK(std::fabs(value - static_cast<double>(count) / scale) <= 0.05 + 1e-9 * value);
  }
  return 0;
}
