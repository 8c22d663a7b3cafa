// The exclusive lock files, as every backend takes and leaves them: the fault check, the report
// of a failure, and the removal of a lock file only while it says it is ours and is still held,
// so that nobody can take a lock on a file about to vanish. The backends make and hold the file.
#include <cstring>

#include "platform/backend.h"
#include "platform/platform.h"

namespace plat {

namespace {

bool holds_lock_text(FileHandle lock) {
  char buffer[sizeof kLockText] = {};
  const int64_t n = backend::read_at(lock, 0, buffer, sizeof buffer);
  return n == static_cast<int64_t>(sizeof kLockText - 1) && std::memcmp(buffer, kLockText, sizeof kLockText - 1) == 0;
}

}  // namespace

LockResult try_lock_file(const std::wstring& path, FileHandle& lock) {
  lock = kNoFile;
  if (injected("lock", path)) return LockResult::Failed;
  if (path.empty()) {
    refused("lock", path, backend::kNoSuchPath);
    return LockResult::Failed;
  }
  const LockResult result = backend::take_lock(path, lock);
  if (result == LockResult::Failed) report_failure("lock", path);
  return result;
}

void unlock_file(FileHandle& lock, const std::wstring& path) {
  if (lock == kNoFile) return;
  if (holds_lock_text(lock) && !backend::remove_held_lock(lock, path)) report_failure("unlock", path);
  close_file(lock);
  lock = kNoFile;
}

}  // namespace plat
