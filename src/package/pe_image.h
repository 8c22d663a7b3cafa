// The two fields of a Windows program's headers that packing and signing touch: the checksum and
// the certificate table that a signature appends. Plain byte work, the same on every system, so
// that the installer and the packing tool read a program alike.
#pragma once

#include <cstddef>
#include <cstdint>

struct PeLayout {
  size_t checksum_at = 0;         // file offset of the 4-byte checksum
  uint32_t checksum = 0;          // its value; 0 = none
  size_t security_entry_at = 0;   // file offset of the 8-byte entry that locates the certificate table
  uint32_t table_offset = 0;      // where the certificate table begins; 0 when the file is unsigned
  uint32_t table_size = 0;
};

constexpr size_t kPeHeadSize = 4096;   // the headers of every program this project builds lie within it

// True when `head`, the first bytes of a file, holds the headers of a PE image.
bool read_pe_layout(const unsigned char* head, size_t size, PeLayout& layout);

// The image checksum, fed the file's bytes in order (with the checksum field itself as zeros).
class PeChecksum {
 public:
  void add(const unsigned char* data, size_t size);
  uint32_t finish(uint64_t file_size) const;

 private:
  uint64_t sum_ = 0;
  bool odd_ = false;           // a byte waits for its partner
  unsigned char pending_ = 0;
};

inline void put_le32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}
