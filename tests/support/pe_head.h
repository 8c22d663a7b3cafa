// The headers of a 64-bit Windows program, for the tests of packing and signing: 512 bytes whose
// certificate-table entry and checksum say what is given, the rest filler.
#pragma once

#include <cstdint>
#include <string>

namespace testing_support {

inline std::string program_head(uint32_t table_offset, uint32_t table_size, uint32_t checksum) {
  std::string head(512, 'h');
  auto put32 = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) head[at + i] = static_cast<char>(value >> (8 * i));
  };
  head[0] = 'M';
  head[1] = 'Z';
  put32(0x3c, 0x80);
  head.replace(0x80, 4, std::string("PE\0\0", 4));
  const size_t optional = 0x80 + 24;   // after the file header
  head[optional] = 0x0b;               // PE32+
  head[optional + 1] = 0x02;
  put32(optional + 64, checksum);
  put32(optional + 108, 16);           // data directories
  put32(optional + 112 + 4 * 8, table_offset);
  put32(optional + 112 + 4 * 8 + 4, table_size);
  return head;
}

constexpr size_t kHeadChecksumAt = 0x80 + 24 + 64;
constexpr size_t kHeadSecurityEntryAt = 0x80 + 24 + 112 + 32;

}  // namespace testing_support
