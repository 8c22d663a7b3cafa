#include "package/verify.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "common/progress.h"
#include "common/strings.h"
#include "platform/platform.h"

namespace {

// One file read front to back on a thread of its own, a few pieces ahead of the hashing, so that
// the reading (the system's copy out of its cache, or the disk) and the hashing overlap.
class ReadAhead {
 public:
  // Small pieces, few of them: the hashing finds each still in the caches the two threads share
  // (larger ones measured slower, even than reading and hashing on one thread).
  static constexpr size_t kPiece = 1u << 18;
  static constexpr int kPieces = 3;

  explicit ReadAhead(plat::FileHandle file) : file_(file), pieces_(kPieces, std::vector<unsigned char>(kPiece)) {
    for (int i = 0; i < kPieces; ++i) free_.push_back(i);
    reader_ = std::thread([this] { read_all(); });
  }
  ~ReadAhead() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    reader_.join();
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next piece, waiting at most `wait_ms` for it: Ready with `data` and `count` set (valid
  // until the next call), Waiting when none has come yet, End after the last one, Failed when a
  // read failed.
  enum class Next { Ready, Waiting, End, Failed };
  Next next(const unsigned char*& data, size_t& count, uint32_t wait_ms) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (current_ >= 0) {
      free_.push_back(current_);
      current_ = -1;
      changed_.notify_all();
    }
    if (!changed_.wait_for(hold, std::chrono::milliseconds(wait_ms), [this] { return !filled_.empty() || ended_; }))
      return Next::Waiting;
    if (filled_.empty()) return failed_ ? Next::Failed : Next::End;
    current_ = filled_.front();
    filled_.pop_front();
    data = pieces_[current_].data();
    count = sizes_[current_];
    return Next::Ready;
  }

 private:
  void read_all() {
    for (;;) {
      int piece = -1;
      {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [this] { return stop_ || !free_.empty(); });
        if (stop_) return;
        piece = free_.front();
        free_.pop_front();
      }
      const int64_t count = plat::read_some(file_, pieces_[piece].data(), kPiece);
      std::lock_guard<std::mutex> hold(mutex_);
      if (count <= 0) {
        ended_ = true;
        failed_ = count < 0;
      } else {
        sizes_[piece] = static_cast<size_t>(count);
        filled_.push_back(piece);
      }
      changed_.notify_all();
      if (count <= 0) return;
    }
  }

  plat::FileHandle file_;
  std::vector<std::vector<unsigned char>> pieces_;
  size_t sizes_[kPieces] = {};
  std::deque<int> free_, filled_;
  int current_ = -1;
  bool stop_ = false, ended_ = false, failed_ = false;
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

}  // namespace

bool sha256_file_hex(const std::wstring& path, std::string& digest) {
  HashJob job;
  // A folder opens for reading on some systems but is never a package.
  if (plat::path_kind(path) == plat::PathKind::Directory) return false;
  job.file = plat::open_for_sequential_reading(path);
  if (job.file == plat::kNoFile) return false;
  uint64_t size = 0;
  if (!plat::handle_size(job.file, size)) size = 0;
  job.digest = plat::sha256_begin();
  if (!job.digest) return false;

  const double span = 0.62 - 0.54;
  uint64_t done = 0;
  bool shown = false;
  uint32_t last_tick = 0;
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
    const uint32_t now = ui_clock();
    if (size > 0) {
      if (shown && static_cast<uint32_t>(now - last_tick) <= 100 && done < size) {
        pump_events();
        continue;
      }
      set_progress(L"正在校验安装包... " + format_byte_size(done) + L" / " + format_byte_size(size),
                   0.54 + span * static_cast<double>(done) / static_cast<double>(size));
      shown = true;
      last_tick = now;
    } else {
      pump_events();
    }
  }

  unsigned char value[32];
  plat::Sha256* running = job.digest;
  job.digest = nullptr;
  if (!plat::sha256_finish(running, value)) return false;
  static const char kHex[] = "0123456789abcdef";
  digest.clear();
  for (unsigned char byte : value) {
    digest.push_back(kHex[byte >> 4]);
    digest.push_back(kHex[byte & 0x0F]);
  }
  return true;
}

bool package_digest_matches(const std::wstring& path, const std::string& expected) {
  std::string digest;
  return sha256_file_hex(path, digest) && digest == expected;
}
