#include "common/digest.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "common/progress.h"
#include "platform/platform.h"

namespace {

// The file is read on a thread of its own, a few pieces ahead of the hashing, so that the copy
// out of the system's cache (or the disk) and the hashing overlap. The pieces are small and few,
// so that each is hashed while it is still in the caches the two threads share; larger ones
// measured slower, even than reading and hashing on one thread.
class ReadAhead {
 public:
  static constexpr size_t kPiece = 128u << 10;
  static constexpr int64_t kPieces = 8;
  // A sleeping thread can take a long while to wake on a busy or virtual machine, longer than a
  // piece takes to hash: each side first spins for about as long as the other needs for a piece.
  static constexpr int kSpinUs = 500;
  enum class Next { Ready, Waiting, End, Failed };

  explicit ReadAhead(plat::FileHandle file) : file_(file), data_(kPiece * kPieces) {
    reader_ = std::thread([this] { read_all(); });
  }
  ~ReadAhead() {
    stop_ = true;
    wake();
    reader_.join();
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next piece, waiting at most `wait_ms` for it: Ready with `data` and `count` (valid until
  // the next call), Waiting when it has not come yet, End after the last, Failed after a failed read.
  Next next(const unsigned char*& data, size_t& count, uint32_t wait_ms) {
    if (holding_) {
      holding_ = false;
      consumed_ = consumed_ + 1;
      // The reader waits for half the ring to drain: it is woken once for that many pieces.
      if (reader_waits_ && produced_ - consumed_ <= kPieces / 2) wake();
    }
    const int64_t index = consumed_;
    if (!await(hasher_waits_, [&] { return produced_ > index || ended_; }, wait_ms)) return Next::Waiting;
    if (produced_ <= index) return failed_ ? Next::Failed : Next::End;
    holding_ = true;
    data = data_.data() + static_cast<size_t>(index % kPieces) * kPiece;
    count = sizes_[index % kPieces];
    return Next::Ready;
  }

 private:
  void read_all() {
    for (int64_t index = 0;; ++index) {
      if (index - consumed_ >= kPieces)
        await(reader_waits_, [&] { return stop_ || index - consumed_ <= kPieces / 2; }, UINT32_MAX);
      if (stop_) return;
      unsigned char* piece = data_.data() + static_cast<size_t>(index % kPieces) * kPiece;
      const int64_t count = plat::read_some(file_, piece, kPiece);
      if (count <= 0) {
        failed_ = count < 0;
        ended_ = true;
      } else {
        sizes_[index % kPieces] = static_cast<size_t>(count);
        produced_ = index + 1;
      }
      if (hasher_waits_) wake();
      if (count <= 0) return;
    }
  }

  // Spins a moment (the other side is usually just finishing its piece), then sleeps until woken
  // or `wait_ms` has passed; false when `ready` still does not hold.
  template <typename Ready>
  bool await(std::atomic<bool>& waits, const Ready& ready, uint32_t wait_ms) {
    const auto spin_until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinUs);
    do {
      for (int spin = 0; spin < 64; ++spin)
        if (ready()) return true;
      std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < spin_until);
    std::unique_lock<std::mutex> hold(mutex_);
    waits = true;   // told before `ready` is read again, so that a change after it wakes us
    const bool met = wait_ms == UINT32_MAX ? (changed_.wait(hold, ready), true)
                                           : changed_.wait_for(hold, std::chrono::milliseconds(wait_ms), ready);
    waits = false;
    return met;
  }
  void wake() {
    std::lock_guard<std::mutex> hold(mutex_);
    changed_.notify_all();
  }

  plat::FileHandle file_;
  std::vector<unsigned char> data_;
  size_t sizes_[kPieces] = {};
  std::atomic<int64_t> produced_{0}, consumed_{0};
  std::atomic<bool> ended_{false}, failed_{false}, stop_{false};
  std::atomic<bool> reader_waits_{false}, hasher_waits_{false};
  bool holding_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread reader_;
};

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

// A file this small (a configuration file) is read on the calling thread: a thread of its own
// would cost more than it saves.
constexpr uint64_t kSmallFile = 1u << 20;
using AfterPiece = std::function<void(uint64_t done, uint64_t size)>;

bool hash_small_file(HashJob& job, uint64_t size, std::string& hex, const AfterPiece& after_piece) {
  std::vector<unsigned char> buffer(ReadAhead::kPiece);
  uint64_t done = 0;
  for (;;) {
    const int64_t count = plat::read_some(job.file, buffer.data(), buffer.size());
    if (count < 0) return false;
    if (count == 0) break;
    if (!plat::sha256_add(job.digest, buffer.data(), static_cast<size_t>(count))) return false;
    done += static_cast<uint64_t>(count);
  }
  if (after_piece && done > 0) after_piece(done, size);
  return finish_hex(job, hex);
}

}  // namespace

bool sha256_of_file(const std::wstring& path, std::string& hex,
                    const AfterPiece& after_piece) {
  HashJob job;
  // A folder opens for reading on some systems but is never a file to hash.
  if (plat::path_kind(path) == plat::PathKind::Directory) return false;
  job.file = plat::open_for_sequential_reading(path);
  if (job.file == plat::kNoFile) return false;
  uint64_t size = 0;
  if (!plat::handle_size(job.file, size)) size = 0;
  job.digest = plat::sha256_begin();
  if (!job.digest) return false;

  // A size of 0 may be a file whose size is not known in advance (a system file): read as a large one.
  if (size > 0 && size <= kSmallFile) return hash_small_file(job, size, hex, after_piece);
  uint64_t done = 0, reported = 0;
  uint32_t last_report = ui_clock();
  ReadAhead reader(job.file);
  for (;;) {
    const unsigned char* data = nullptr;
    size_t count = 0;
    // The window turns while the next piece is still being read, however slow the disk.
    const ReadAhead::Next next = reader.next(data, count, kEventSliceMs / 2);
    if (next == ReadAhead::Next::Waiting) {
      pump_events();
      continue;
    }
    // A read that failed part-way gives no digest: one of part of the file would be wrong.
    if (next == ReadAhead::Next::Failed) return false;
    if (next == ReadAhead::Next::End) break;
    if (!plat::sha256_add(job.digest, data, count)) return false;
    done += count;
    // Pieces take a fraction of a millisecond: the caller hears of them every millisecond or so.
    const uint32_t now = ui_clock();
    if (after_piece && (now - last_report >= 1 || done == size)) {
      last_report = now;
      reported = done;
      after_piece(done, size);
    }
  }
  if (after_piece && reported != done) after_piece(done, size);
  return finish_hex(job, hex);
}

std::string sha256_of_text(const std::string& text) {
  HashJob job;
  job.digest = plat::sha256_begin();
  std::string hex;
  if (!job.digest || !plat::sha256_add(job.digest, text.data(), text.size()) || !finish_hex(job, hex)) return "";
  return hex;
}
