// POSIX backend: file identity and the exclusive lock files (flock). The kernel ends a flock
// with the last descriptor of its holder, so a killed holder never blocks the next one.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/posix/posix_util.h"

namespace plat {

namespace {

bool same_object(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

bool same_file(const std::wstring& a, const std::wstring& b) {
  struct stat sa, sb;
  if (a.empty() || b.empty()) return false;
  return stat(wide_to_utf8(a).c_str(), &sa) == 0 && stat(wide_to_utf8(b).c_str(), &sb) == 0 && same_object(sa, sb);
}

bool file_identity(const std::wstring& path, FileIdentity& identity) {
  struct stat st;
  if (path.empty() || lstat(wide_to_utf8(path).c_str(), &st) != 0) return false;
  identity.volume = static_cast<uint64_t>(st.st_dev);
  identity.index = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool owned_by_current_user(const std::wstring& path) {
  struct stat st;
  return !path.empty() && lstat(wide_to_utf8(path).c_str(), &st) == 0 && st.st_uid == geteuid();
}

bool same_path_text(const std::wstring& a, const std::wstring& b) { return a == b; }

namespace {

// A new lock file whose name only ever shows it held and marked: it is made unnamed in its
// folder, locked and written, and only then given its name, which never replaces anything. -1
// with EEXIST when something stands at the name; -1 with EOPNOTSUPP where the file system (or a
// missing /proc) allows no unnamed file.
int make_held_lock(const std::string& name) {
  const size_t slash = name.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
#ifdef O_TMPFILE
  int fd = open(folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EISDIR || errno == EOPNOTSUPP || errno == EINVAL) errno = EOPNOTSUPP;
    return -1;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (fchmod(fd, 0600) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      write(fd, kLockText, sizeof kLockText - 1) != static_cast<ssize_t>(sizeof kLockText - 1)) {
    close(fd);
    return -1;
  }
  if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    const int error = errno;
    close(fd);
    errno = error == ENOENT && access(folder.c_str(), F_OK) == 0 ? EOPNOTSUPP : error;
    return -1;
  }
  return fd;
#else
  (void)folder;
  errno = EOPNOTSUPP;
  return -1;
#endif
}

// Takes the lock of the existing lock file open at `fd`, which it closes unless the lock is taken.
LockResult lock_existing(const std::string& name, int fd, FileHandle& lock) {
  // A lock file that another user put there is not ours to hold, to write or to remove.
  struct stat made;
  if (fstat(fd, &made) != 0 || !S_ISREG(made.st_mode) || made.st_uid != geteuid()) {
    close(fd);
    errno = EPERM;
    return LockResult::Failed;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? LockResult::Busy : LockResult::Failed;
  }
  // The holder before us may have removed the file after we opened it: a lock on a removed file
  // guards nothing, and whoever made a new one may hold that.
  struct stat held, named;
  if (fstat(fd, &held) != 0 || lstat(name.c_str(), &named) != 0 || !same_object(held, named)) {
    close(fd);
    return LockResult::Busy;
  }
  // An empty lock file is one whose maker was killed before it could say so: claim it, so that
  // it goes again when this run ends.
  if (held.st_size == 0 && pwrite(fd, kLockText, sizeof kLockText - 1, 0) != static_cast<ssize_t>(sizeof kLockText - 1)) {
    close(fd);
    return LockResult::Failed;
  }
  lock = fd;
  return LockResult::Taken;
}

}  // namespace

namespace backend {

LockResult take_lock(const std::wstring& path, FileHandle& lock) {
  const std::string name = wide_to_utf8(path);
  // For this user alone: anyone who can open a lock file can hold its lock.
  int fd = make_held_lock(name);
  if (fd >= 0) {
    lock = fd;
    return LockResult::Taken;
  }
  if (errno == EOPNOTSUPP) {
    // Made by name: the lock is taken before the mark is written, so that a file that says it
    // is ours is never one that nobody holds while its maker lives.
    fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Taken by another between our making and our locking: it is theirs now.
        const bool busy = errno == EWOULDBLOCK;
        close(fd);
        return busy ? LockResult::Busy : LockResult::Failed;
      }
      if (write(fd, kLockText, sizeof kLockText - 1) != static_cast<ssize_t>(sizeof kLockText - 1)) {
        // A lock file that does not say it is ours would stay behind for good.
        unlink(name.c_str());
        close(fd);
        return LockResult::Failed;
      }
      lock = fd;
      return LockResult::Taken;
    }
  }
  if (errno == EEXIST) fd = open(name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return LockResult::Failed;
  return lock_existing(name, fd, lock);
}

bool remove_held_lock(FileHandle lock, const std::wstring& path) {
  const int fd = static_cast<int>(lock);
  const std::string name = wide_to_utf8(path);
  struct stat held, named;
  if (fstat(fd, &held) != 0 || lstat(name.c_str(), &named) != 0 || !same_object(held, named)) return true;
  return unlink(name.c_str()) == 0;
}

}  // namespace backend

}  // namespace plat
