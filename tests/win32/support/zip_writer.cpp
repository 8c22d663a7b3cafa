#include "support/zip_writer.h"

#include <zlib.h>

#include <cstdint>

#include "support/helpers.h"

namespace testing_support {

static void put16(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

static void put32(std::string& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

bool write_zip(const std::string& zip, const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string body, central;
  for (const auto& entry : entries) {
    const std::string& name = entry.first;
    const std::string& data = entry.second;
    uint32_t crc = static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(data.data()),
                                               static_cast<uInt>(data.size())));
    uint32_t offset = static_cast<uint32_t>(body.size());
    put32(body, 0x04034b50);
    put16(body, 20);
    put16(body, 0x0800);   // UTF-8 names
    put16(body, 0);        // stored
    put16(body, 0);
    put16(body, 0x21);
    put32(body, crc);
    put32(body, static_cast<uint32_t>(data.size()));
    put32(body, static_cast<uint32_t>(data.size()));
    put16(body, static_cast<uint32_t>(name.size()));
    put16(body, 0);
    body += name;
    body += data;

    put32(central, 0x02014b50);
    put16(central, 20);
    put16(central, 20);
    put16(central, 0x0800);
    put16(central, 0);
    put16(central, 0);
    put16(central, 0x21);
    put32(central, crc);
    put32(central, static_cast<uint32_t>(data.size()));
    put32(central, static_cast<uint32_t>(data.size()));
    put16(central, static_cast<uint32_t>(name.size()));
    put16(central, 0);
    put16(central, 0);
    put16(central, 0);
    put16(central, 0);
    put32(central, !name.empty() && name.back() == '/' ? 0x10 : 0x20);
    put32(central, offset);
    central += name;
  }
  std::string out = body + central;
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<uint32_t>(entries.size()));
  put16(out, static_cast<uint32_t>(entries.size()));
  put32(out, static_cast<uint32_t>(central.size()));
  put32(out, static_cast<uint32_t>(body.size()));
  put16(out, 0);
  write_text(zip, out);
  return read_text(zip) == out;
}

bool write_zip_of_tree(const std::string& dir, const std::string& zip) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& item : snapshot_tree(dir)) entries.push_back(item);
  return write_zip(zip, entries);
}

}  // namespace testing_support
