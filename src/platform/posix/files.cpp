// POSIX backend: files and directories. Nothing here follows a symbolic link: a link is listed,
// copied, moved and deleted as the link itself. Nothing here opens a pipe, socket or device
// either: opening one can block for good or reach hardware.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/posix/posix_util.h"

namespace plat {

namespace {

std::string native(const std::wstring& path) { return wide_to_utf8(path); }

PathKind kind_of_mode(mode_t mode) {
  if (S_ISLNK(mode)) return PathKind::Link;
  if (S_ISDIR(mode)) return PathKind::Directory;
  if (S_ISREG(mode)) return PathKind::File;
  return PathKind::Special;
}

bool lstat_path(const std::wstring& path, struct stat& st) {
  return !path.empty() && lstat(native(path).c_str(), &st) == 0;
}

// Opens a directory for listing; a link there is not followed (the open fails).
DIR* open_directory(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (!dir) close(fd);
  return dir;
}

// Removes everything below and including `path` (given in UTF-8); links go by themselves.
// `poll` runs after every entry.
void remove_all(const std::string& path, const std::function<void()>& poll) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path.c_str());
    if (poll) poll();
    return;
  }
  // A directory without write or search permission for its owner could not be emptied.
  if ((st.st_mode & (S_IWUSR | S_IXUSR | S_IRUSR)) != (S_IWUSR | S_IXUSR | S_IRUSR))
    chmod(path.c_str(), st.st_mode | S_IRWXU);
  if (DIR* dir = open_directory(path)) {
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : names) remove_all(path + "/" + name, poll);
  }
  rmdir(path.c_str());
  if (poll) poll();
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The text a link at `path` holds, whatever its length.
bool link_text(const std::string& path, std::string& text) {
  std::vector<char> target(4096);
  for (;;) {
    ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < target.size()) {
      text.assign(target.data(), static_cast<size_t>(n));
      return true;
    }
    target.resize(target.size() * 2);
  }
}

bool copy_link(const std::string& from, const std::string& to) {
  std::string target;
  if (!link_text(from, target)) return false;
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return false;
    if (unlink(to.c_str()) != 0) return false;
  }
  return symlink(target.c_str(), to.c_str()) == 0;
}

}  // namespace

namespace posix {

// Non-blocking, so that a pipe put there in the meantime cannot hold the open, and checked
// once open.
int open_regular(const std::string& path, int flags, mode_t mode) {
  int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// Opens `path` for writing without following a link there: a link in the way is replaced.
// A pipe, socket or device in the way is left alone and the open fails.
int open_destination(const std::string& path, mode_t mode) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      unlink(path.c_str());
    } else if (!S_ISREG(st.st_mode)) {
      errno = EINVAL;
      return -1;
    }
  }
  int fd = open_regular(path, O_WRONLY | O_CREAT | O_NOFOLLOW, mode);
  if (fd >= 0 && ftruncate(fd, 0) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace posix

PathKind path_kind(const std::wstring& path) {
  struct stat st;
  if (!lstat_path(path, st)) return PathKind::None;
  return kind_of_mode(st.st_mode);
}

bool read_link(const std::wstring& path, std::wstring& target) {
  std::string text;
  if (path.empty() || !link_text(native(path), text)) return false;
  target = utf8_to_wide(text);
  return true;
}

std::wstring resolve_directory_link(const std::wstring& path) {
  struct stat st;
  if (!lstat_path(path, st) || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  if (!realpath(native(path).c_str(), resolved) || stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) return path;
  return utf8_to_wide(resolved);
}

bool file_size(const std::wstring& path, uint64_t& size) {
  struct stat st;
  if (!lstat_path(path, st)) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool modification_time(const std::wstring& path, int64_t& time) {
  struct stat st;
  if (!lstat_path(path, st)) return false;
  time = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

MkdirResult make_directory(const std::wstring& path) {
  if (injected("make_directory", path)) return MkdirResult::Failed;
  if (!path.empty() && mkdir(native(path).c_str(), 0755) == 0) return MkdirResult::Created;
  if (!path.empty() && errno == EEXIST) return MkdirResult::AlreadyExists;
  if (path.empty()) refused("make_directory", path, ENOENT);
  else report_failure("make_directory", path);
  return MkdirResult::Failed;
}

bool make_private_directory(const std::wstring& path) {
  if (injected("make_directory", path)) return false;
  if (path.empty()) return refused("make_directory", path, ENOENT);
  // The umask may take bits away, never add them; owner-only whatever it says.
  if (mkdir(native(path).c_str(), 0700) == 0 && chmod(native(path).c_str(), 0700) == 0) return true;
  return report_failure("make_directory", path);
}

bool delete_file(const std::wstring& path) {
  if (injected("delete_file", path)) return false;
  if (path.empty()) return refused("delete_file", path, ENOENT);
  return unlink(native(path).c_str()) == 0 || report_failure("delete_file", path);
}

bool remove_empty_directory(const std::wstring& path) {
  if (injected("remove_empty_directory", path)) return false;
  if (path.empty()) return refused("remove_empty_directory", path, ENOENT);
  return rmdir(native(path).c_str()) == 0 || report_failure("remove_empty_directory", path);
}

void delete_tree_silently(const std::wstring& path, const std::function<void()>& poll) {
  if (injected("delete_tree", path) || path.empty()) return;
  remove_all(native(path), poll);
  // What stays is reported with the error of the removal that failed last.
  struct stat st;
  if (lstat_path(path, st)) report_failure("delete_tree", path);
}

bool rename_replacing(const std::wstring& from, const std::wstring& to) {
  if (injected("rename", from)) return false;
  if (from.empty() || to.empty()) return refused("rename", from, ENOENT);
  return rename(native(from).c_str(), native(to).c_str()) == 0 || report_failure("rename", from, to);
}

bool is_read_only(const std::wstring& path) {
  struct stat st;
  if (!lstat_path(path, st) || S_ISLNK(st.st_mode)) return false;
  return (st.st_mode & S_IWUSR) == 0;
}

bool clear_read_only(const std::wstring& path) {
  if (injected("clear_read_only", path)) return false;
  struct stat st;
  if (!lstat_path(path, st)) return report_failure("clear_read_only", path);
  if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR)) return true;
  return chmod(native(path).c_str(), (st.st_mode & 07777) | S_IWUSR) == 0 || report_failure("clear_read_only", path);
}

namespace {

// Everything `in` holds, from where it stands, to `out`; `progress` after every chunk.
bool copy_contents(int in, int out, uint64_t total, const CopyProgress& progress) {
  uint64_t copied = 0;
  // Chunks of at most 1 MiB; a small file needs no more than its size (the buffer is not cleared).
  const size_t chunk = total < (1u << 20) ? static_cast<size_t>(total) + 1 : (1u << 20);
  std::unique_ptr<char[]> buffer(new char[chunk]);
  for (;;) {
    ssize_t n = read(in, buffer.get(), chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!write_all(out, buffer.get(), static_cast<size_t>(n))) return false;
    copied += static_cast<uint64_t>(n);
    if (progress) progress(total, copied);
  }
}

bool copy_file_once(const std::wstring& from, const std::wstring& to, const CopyProgress& progress) {
  if (from.empty() || to.empty()) {
    errno = ENOENT;
    return false;
  }
  const std::string source = native(from), destination = native(to);
  struct stat st;
  if (lstat(source.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    if (!copy_link(source, destination)) return false;
    if (progress) progress(static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_size));
    return true;
  }
  int in = posix::open_regular(source, O_RDONLY | O_NOFOLLOW, 0);
  if (in < 0 || fstat(in, &st) != 0) {
    if (in >= 0) close(in);
    return false;
  }
  int out = posix::open_destination(destination, st.st_mode & 0777);
  if (out < 0) {
    close(in);
    return false;
  }
  const uint64_t total = static_cast<uint64_t>(st.st_size);
  bool ok = copy_contents(in, out, total, progress);
  // The open mode passes through the umask and an existing file keeps its old mode: set it.
  // Permission bits only: set-user-id and set-group-id bits are not carried to a copy, as cp does.
  if (ok && fchmod(out, st.st_mode & 0777) != 0) ok = false;
  if (close(out) != 0) ok = false;
  close(in);
  if (!ok) {
    const int code = errno;
    unlink(destination.c_str());   // no half-written file stays behind
    errno = code;
    return false;
  }
  if (progress && total == 0) progress(0, 0);
  return true;
}

}  // namespace

bool copy_file(const std::wstring& from, const std::wstring& to, const CopyProgress& progress) {
  if (injected("copy_file", to)) return false;
  return copy_file_once(from, to, progress) || report_failure("copy_file", from, to);
}

bool list_directory(const std::wstring& path, std::vector<DirEntry>& entries) {
  entries.clear();
  if (path.empty()) return false;
  const std::string dir_path = native(path);
  DIR* dir = open_directory(dir_path);
  if (!dir) return false;
  int dir_fd = dirfd(dir);
  bool complete = true;
  for (;;) {
    errno = 0;
    dirent* entry = readdir(dir);
    if (!entry) {
      complete = errno == 0;
      break;
    }
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    DirEntry item;
    item.name = utf8_to_wide(name);
    struct stat st;
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;   // went away while we listed
      complete = false;
      break;
    }
    item.kind = kind_of_mode(st.st_mode);
    item.size = item.kind == PathKind::Directory ? 0 : static_cast<uint64_t>(st.st_size);
    entries.push_back(item);
  }
  closedir(dir);
  return complete;
}

bool make_executable(const std::wstring& path) {
  if (injected("make_executable", path)) return false;
  struct stat st;
  if (!lstat_path(path, st)) return report_failure("make_executable", path);
  if (!S_ISREG(st.st_mode)) return refused("make_executable", path, EINVAL);
  // Execute permission wherever there is read permission, as chmod +x would give.
  mode_t mode = (st.st_mode & 07777) | S_IXUSR | ((st.st_mode & (S_IRGRP | S_IROTH)) >> 2);
  return chmod(native(path).c_str(), mode) == 0 || report_failure("make_executable", path);
}

}  // namespace plat
