#include "common/digest.h"

#include <vector>

#include "common/progress.h"
#include "platform/platform.h"

namespace {

// Reads grow while one (read and hashed) takes under a quarter of an event slice and shrink when
// one takes more than half, so the window turns at least every slice at any disk speed while a
// fast disk is read in large pieces.
constexpr size_t kFirstRead = 1u << 20, kSmallestRead = 65536, kLargestRead = 4u << 20;

// Closes the file and drops an unfinished digest on every way out.
struct HashJob {
  plat::FileHandle file = plat::kNoFile;
  plat::Sha256* digest = nullptr;
  ~HashJob() {
    if (digest) plat::sha256_discard(digest);
    if (file != plat::kNoFile) plat::close_file(file);
  }
};

bool finish_hex(HashJob& job, std::string& hex) {
  unsigned char value[32];
  plat::Sha256* running = job.digest;
  job.digest = nullptr;
  if (!plat::sha256_finish(running, value)) return false;
  static const char kHex[] = "0123456789abcdef";
  hex.clear();
  for (unsigned char byte : value) {
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 0x0F]);
  }
  return true;
}

}  // namespace

bool sha256_of_file(const std::wstring& path, std::string& hex,
                    const std::function<void(uint64_t done, uint64_t size)>& after_piece) {
  HashJob job;
  // A folder opens for reading on some systems but is never a file to hash.
  if (plat::path_kind(path) == plat::PathKind::Directory) return false;
  job.file = plat::open_for_sequential_reading(path);
  if (job.file == plat::kNoFile) return false;
  uint64_t size = 0;
  if (!plat::handle_size(job.file, size)) size = 0;
  job.digest = plat::sha256_begin();
  if (!job.digest) return false;

  std::vector<unsigned char> buffer(kLargestRead);
  size_t piece = kFirstRead;
  uint64_t done = 0;
  for (;;) {
    const uint32_t start = ui_clock();
    int64_t count = plat::read_some(job.file, buffer.data(), piece);
    // A read that failed part-way gives no digest: one of part of the file would be wrong.
    if (count < 0) return false;
    if (count == 0) break;
    if (!plat::sha256_add(job.digest, buffer.data(), static_cast<size_t>(count))) return false;
    done += static_cast<uint64_t>(count);
    const uint32_t took = static_cast<uint32_t>(ui_clock() - start);
    if (took < kEventSliceMs / 4 && piece < kLargestRead) piece *= 2;
    if (took > kEventSliceMs / 2 && piece > kSmallestRead) piece /= 2;
    if (after_piece) after_piece(done, size);
  }
  return finish_hex(job, hex);
}

std::string sha256_of_text(const std::string& text) {
  HashJob job;
  job.digest = plat::sha256_begin();
  std::string hex;
  if (!job.digest || !plat::sha256_add(job.digest, text.data(), text.size()) || !finish_hex(job, hex)) return "";
  return hex;
}
