// Reading a PE image's headers and making its checksum, as the system's image loader and the
// signing tools lay them out: DOS header, "PE\0\0", the file header, then the optional header
// whose data directories (entry 4: the certificate table, by file offset) follow its fixed part.
#include "package/pe_image.h"

namespace {

uint32_t le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

constexpr uint16_t kPe32 = 0x10b, kPe32Plus = 0x20b;
constexpr uint32_t kSecurityDirectory = 4;

}  // namespace

bool read_pe_layout(const unsigned char* head, size_t size, PeLayout& layout) {
  layout = PeLayout();
  if (!head || size < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
  const size_t pe = le32(head + 0x3c);
  if (pe > size || size - pe < 24 + 2) return false;
  if (head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] != 0 || head[pe + 3] != 0) return false;
  const size_t optional = pe + 24;
  const uint16_t magic = le16(head + optional);
  if (magic != kPe32 && magic != kPe32Plus) return false;
  const size_t count_at = optional + (magic == kPe32 ? 92 : 108);
  const size_t directories = count_at + 4;
  const size_t entry = directories + 8 * kSecurityDirectory;
  if (entry + 8 > size || le32(head + count_at) <= kSecurityDirectory) return false;
  layout.checksum_at = optional + 64;
  layout.checksum = le32(head + layout.checksum_at);
  layout.security_entry_at = entry;
  layout.table_offset = le32(head + entry);
  layout.table_size = le32(head + entry + 4);
  if (layout.table_size == 0) layout.table_offset = 0;
  return true;
}

void PeChecksum::add(const unsigned char* data, size_t size) {
  size_t i = 0;
  if (odd_ && size > 0) {
    sum_ += static_cast<uint64_t>(pending_ | data[0] << 8);
    odd_ = false;
    i = 1;
  }
  for (; i + 1 < size; i += 2) sum_ += static_cast<uint64_t>(data[i] | data[i + 1] << 8);
  if (i < size) {
    pending_ = data[i];
    odd_ = true;
  }
}

uint32_t PeChecksum::finish(uint64_t file_size) const {
  uint64_t sum = sum_ + (odd_ ? pending_ : 0);   // a last odd byte counts as a word of its own
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint32_t>(sum + file_size);
}
