// POSIX backend: whole-file streams. Files are opened only when they are regular files; a file
// made new is made only where nothing stands, a link included.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/posix/posix_util.h"

namespace plat {

FileHandle open_for_reading(const std::wstring& path) {
  if (path.empty()) return kNoFile;
  // Never through a link: what is read must be the file that was named, not wherever a link
  // put there leads (the program's own path comes resolved from the system).
  int fd = posix::open_regular(wide_to_utf8(path), O_RDONLY | O_NOFOLLOW, 0);
  return fd < 0 ? kNoFile : static_cast<FileHandle>(fd);
}

FileHandle open_for_sequential_reading(const std::wstring& path) {
  const FileHandle file = open_for_reading(path);
  // Advice only: a system that ignores it reads the file all the same.
  if (file != kNoFile) posix_fadvise(static_cast<int>(file), 0, 0, POSIX_FADV_SEQUENTIAL);
  return file;
}

FileHandle create_for_writing(const std::wstring& path) {
  if (injected("create_for_writing", path)) return kNoFile;
  if (path.empty()) {
    refused("create_for_writing", path, ENOENT);
    return kNoFile;
  }
  int fd = posix::open_destination(wide_to_utf8(path), 0644);
  if (fd < 0) report_failure("create_for_writing", path);
  return fd < 0 ? kNoFile : static_cast<FileHandle>(fd);
}

FileHandle create_new_file(const std::wstring& path) {
  if (injected("create_for_writing", path)) return kNoFile;
  if (path.empty()) {
    refused("create_new_file", path, ENOENT);
    return kNoFile;
  }
  int fd = open(wide_to_utf8(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) report_failure("create_new_file", path);
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

namespace backend {

int64_t write_chunk(FileHandle file, const void* data, size_t size) {
  for (;;) {
    ssize_t n = write(static_cast<int>(file), data, size);
    if (n >= 0) return static_cast<int64_t>(n);
    if (errno != EINTR) return -1;
  }
}

int64_t read_at(FileHandle file, uint64_t offset, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = pread(static_cast<int>(file), buffer, size, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<int64_t>(n);
    if (errno != EINTR) return -1;
  }
}

int64_t system_copy(FileHandle from, uint64_t offset, FileHandle to, size_t size) {
  for (;;) {
    loff_t at = static_cast<loff_t>(offset);
    ssize_t n = copy_file_range(static_cast<int>(from), &at, static_cast<int>(to), nullptr, size, 0);
    if (n >= 0) return static_cast<int64_t>(n);
    if (errno == EINTR) continue;
    // Refused for this pair of files (another file system, an old kernel): read and write instead.
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EPERM)
      return kNoSystemCopy;
    return -1;
  }
}

const size_t kCopyBufferSize = 1u << 20;

}  // namespace backend

void close_file(FileHandle file) {
  if (file >= 0) close(static_cast<int>(file));
}

}  // namespace plat
