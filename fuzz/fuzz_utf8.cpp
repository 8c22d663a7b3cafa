// UTF-8 and wide text: conversions both ways, and the path and size helpers on what comes out.
#include <cstring>

#include "common/strings.h"
#include "fuzz_support.h"

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
  std::wstring wide = utf8_to_wide(bytes);
  if (!bytes.empty()) FUZZ_CHECK(!wide.empty());            // never empty for non-empty input
  std::string back = wide_to_utf8(wide);
  FUZZ_CHECK(valid_utf8(back));
  FUZZ_CHECK(utf8_to_wide(back) == wide);                   // stable after the first pass
  if (valid_utf8(bytes)) FUZZ_CHECK(back == bytes);          // exact for well-formed text
  for (wchar_t c : wide) FUZZ_CHECK(static_cast<uint32_t>(c) <= 0x10FFFF);

  std::wstring raw = raw_wide(data, size);
  std::string raw_utf8 = wide_to_utf8(raw);
  FUZZ_CHECK(valid_utf8(raw_utf8));
  FUZZ_CHECK(utf8_to_wide(raw_utf8).size() == raw.size());  // one replacement per bad unit

  std::wstring lower = to_lower_wide(wide);
  FUZZ_CHECK(lower.size() == wide.size());
  std::wstring parent = parent_path(wide), name = file_name_of(wide);
  if (wide.find_first_of(L"\\/") == std::wstring::npos) {
    FUZZ_CHECK(parent == L".");
    FUZZ_CHECK(name == wide);
  } else {
    FUZZ_CHECK(wide.size() >= name.size() + 1);
    FUZZ_CHECK(wide.compare(wide.size() - name.size(), name.size(), name) == 0);
    FUZZ_CHECK(!parent.empty());
  }
  uint64_t count = 0;
  std::memcpy(&count, data, size < 8 ? size : 8);
  std::wstring text = format_byte_size(count);
  FUZZ_CHECK(!text.empty() && text.size() < 32);
  return 0;
}
