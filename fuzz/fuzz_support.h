// Small helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Stops the run with a message; libFuzzer keeps the input that got here.
#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

// Splits the input at zero bytes into separate texts (an empty input gives no text).
inline std::vector<std::string> split_at_zero(const uint8_t* data, size_t size) {
  std::vector<std::string> parts;
  if (size == 0) return parts;
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      parts.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  parts.push_back(current);
  return parts;
}

// Reads the input as raw wide code units, 4 bytes each (any value, surrogates and beyond).
inline std::wstring raw_wide(const uint8_t* data, size_t size) {
  std::wstring out;
  for (size_t i = 0; i + 4 <= size; i += 4) {
    uint32_t unit = static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8 |
                    static_cast<uint32_t>(data[i + 2]) << 16 | static_cast<uint32_t>(data[i + 3]) << 24;
    out.push_back(static_cast<wchar_t>(unit));
  }
  return out;
}
