// POSIX backend: files and directories, whole-file streams. Nothing here follows a symbolic
// link: a link is listed, copied, moved and deleted as the link itself.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace plat {

namespace {

std::string native(const std::wstring& path) { return wide_to_utf8(path); }

PathKind kind_of_mode(mode_t mode) {
  if (S_ISLNK(mode)) return PathKind::Link;
  if (S_ISDIR(mode)) return PathKind::Directory;
  return PathKind::File;
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

// Opens `path` for writing without following a link there: a link in the way is replaced.
int open_destination(const std::string& path, mode_t mode) {
  int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW;
  int fd = open(path.c_str(), flags, mode);
  if (fd < 0 && errno == ELOOP) {
    unlink(path.c_str());
    fd = open(path.c_str(), flags, mode);
  }
  return fd;
}

bool copy_link(const std::string& from, const std::string& to) {
  std::vector<char> target(4096);
  for (;;) {
    ssize_t n = readlink(from.c_str(), target.data(), target.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      break;
    }
    target.resize(target.size() * 2);
  }
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return false;
    if (unlink(to.c_str()) != 0) return false;
  }
  return symlink(std::string(target.begin(), target.end()).c_str(), to.c_str()) == 0;
}

}  // namespace

PathKind path_kind(const std::wstring& path) {
  struct stat st;
  if (!lstat_path(path, st)) return PathKind::None;
  return kind_of_mode(st.st_mode);
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
  if (fault_injected("make_directory", path)) {
    errno = EIO;
    return MkdirResult::Failed;
  }
  if (path.empty()) return MkdirResult::Failed;
  if (mkdir(native(path).c_str(), 0755) == 0) return MkdirResult::Created;
  return errno == EEXIST ? MkdirResult::AlreadyExists : MkdirResult::Failed;
}

bool delete_file(const std::wstring& path) {
  if (fault_injected("delete_file", path)) {
    errno = EIO;
    return false;
  }
  return !path.empty() && unlink(native(path).c_str()) == 0;
}

bool remove_empty_directory(const std::wstring& path) {
  if (fault_injected("remove_empty_directory", path)) {
    errno = EIO;
    return false;
  }
  return !path.empty() && rmdir(native(path).c_str()) == 0;
}

void delete_tree_silently(const std::wstring& path, const std::function<void()>& poll) {
  if (fault_injected("delete_tree", path)) {
    errno = EIO;
    return;
  }
  if (path.empty()) return;
  remove_all(native(path), poll);
}

bool rename_replacing(const std::wstring& from, const std::wstring& to) {
  if (fault_injected("rename", from)) {
    errno = EIO;
    return false;
  }
  if (from.empty() || to.empty()) return false;
  return rename(native(from).c_str(), native(to).c_str()) == 0;
}

bool is_read_only(const std::wstring& path) {
  struct stat st;
  if (!lstat_path(path, st) || S_ISLNK(st.st_mode)) return false;
  return (st.st_mode & S_IWUSR) == 0;
}

bool clear_read_only(const std::wstring& path) {
  if (fault_injected("clear_read_only", path)) {
    errno = EIO;
    return false;
  }
  struct stat st;
  if (!lstat_path(path, st)) return false;
  if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR)) return true;
  return chmod(native(path).c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool copy_file(const std::wstring& from, const std::wstring& to, const CopyProgress& progress) {
  if (fault_injected("copy_file", to)) {
    errno = EIO;
    return false;
  }
  if (from.empty() || to.empty()) return false;
  const std::string source = native(from), destination = native(to);
  struct stat st;
  if (lstat(source.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  if (S_ISLNK(st.st_mode)) {
    if (!copy_link(source, destination)) return false;
    if (progress) progress(static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_size));
    return true;
  }
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return false;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    return false;
  }
  int out = open_destination(destination, st.st_mode & 0777);
  if (out < 0) {
    close(in);
    return false;
  }
  const uint64_t total = static_cast<uint64_t>(st.st_size);
  uint64_t copied = 0;
  bool ok = true;
  // Chunks of at most 1 MiB; a small file needs no more than its size (the buffer is not cleared).
  const size_t chunk = total < (1u << 20) ? static_cast<size_t>(total) + 1 : (1u << 20);
  std::unique_ptr<char[]> buffer(new char[chunk]);
  for (;;) {
    ssize_t n = read(in, buffer.get(), chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!write_all(out, buffer.get(), static_cast<size_t>(n))) {
      ok = false;
      break;
    }
    copied += static_cast<uint64_t>(n);
    if (progress) progress(total, copied);
  }
  // The open mode passes through the umask and an existing file keeps its old mode: set it.
  // Permission bits only: set-user-id and set-group-id bits are not carried to a copy, as cp does.
  if (ok && fchmod(out, st.st_mode & 0777) != 0) ok = false;
  if (close(out) != 0) ok = false;
  close(in);
  if (!ok) {
    unlink(destination.c_str());   // no half-written file stays behind
    return false;
  }
  if (progress && total == 0) progress(0, 0);
  return true;
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
  if (fault_injected("make_executable", path)) {
    errno = EIO;
    return false;
  }
  struct stat st;
  if (!lstat_path(path, st) || !S_ISREG(st.st_mode)) return false;
  // Execute permission wherever there is read permission, as chmod +x would give.
  mode_t mode = (st.st_mode & 07777) | S_IXUSR | ((st.st_mode & (S_IRGRP | S_IROTH)) >> 2);
  return chmod(native(path).c_str(), mode) == 0;
}

FileHandle open_for_reading(const std::wstring& path) {
  if (path.empty()) return kNoFile;
  int fd = open(native(path).c_str(), O_RDONLY | O_CLOEXEC);
  return fd < 0 ? kNoFile : static_cast<FileHandle>(fd);
}

FileHandle create_for_writing(const std::wstring& path) {
  if (fault_injected("create_for_writing", path)) {
    errno = EIO;
    return kNoFile;
  }
  if (path.empty()) return kNoFile;
  int fd = open_destination(native(path), 0644);
  return fd < 0 ? kNoFile : static_cast<FileHandle>(fd);
}

bool handle_size(FileHandle file, uint64_t& size) {
  struct stat st;
  if (file < 0 || fstat(static_cast<int>(file), &st) != 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool seek_to(FileHandle file, uint64_t offset) {
  if (file < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

int64_t read_some(FileHandle file, void* buffer, size_t size) {
  if (file < 0) return -1;
  for (;;) {
    ssize_t n = read(static_cast<int>(file), buffer, size);
    if (n >= 0) return static_cast<int64_t>(n);
    if (errno != EINTR) return -1;
  }
}

int64_t write_some(FileHandle file, const void* buffer, size_t size) {
  if (file < 0) return -1;
  const char* bytes = static_cast<const char*>(buffer);
  size_t total = 0;
  while (total < size) {
    ssize_t n = write(static_cast<int>(file), bytes + total, size - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return total ? static_cast<int64_t>(total) : -1;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(total);
}

void close_file(FileHandle file) {
  if (file >= 0) close(static_cast<int>(file));
}

}  // namespace plat
