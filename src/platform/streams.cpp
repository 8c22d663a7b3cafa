// Writing and copying through open streams, as every backend does it: the loop that writes a
// whole buffer, the copy that falls back on a buffer where the system has no copy of its own,
// and the report of a failure. The backends supply single reads, writes and copies.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/platform.h"

namespace plat {

namespace {

// Writes until all of `size` is written, nothing more goes or the system fails: the count
// written, -1 when nothing was.
int64_t write_whole(FileHandle file, const void* buffer, size_t size) {
  if (file < 0) {
    backend::set_last_error(backend::kBadHandle);
    return -1;
  }
  const char* bytes = static_cast<const char*>(buffer);
  size_t total = 0;
  while (total < size) {
    const int64_t n = backend::write_chunk(file, bytes + total, size - total);
    if (n < 0) return total ? static_cast<int64_t>(total) : -1;
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(total);
}

int64_t copy_once(FileHandle from, uint64_t offset, FileHandle to, size_t size) {
  if (from < 0 || to < 0 || offset > static_cast<uint64_t>(INT64_MAX)) {
    backend::set_last_error(backend::kInvalidArgument);
    return -1;
  }
  const int64_t copied = backend::system_copy(from, offset, to, size);
  if (copied != backend::kNoSystemCopy) return copied;
  static std::vector<char> buffer(backend::kCopyBufferSize);
  const int64_t got = backend::read_at(from, offset, buffer.data(), size < buffer.size() ? size : buffer.size());
  if (got <= 0) return got;
  return write_whole(to, buffer.data(), static_cast<size_t>(got)) == got ? got : -1;
}

}  // namespace

// A handle carries no path: these failures are reported by their operation and error alone.
int64_t write_some(FileHandle file, const void* buffer, size_t size) {
  const int64_t written = write_whole(file, buffer, size);
  if (written < static_cast<int64_t>(size)) report_failure("write", std::wstring());
  return written;
}

int64_t copy_some(FileHandle from, uint64_t offset, FileHandle to, size_t size) {
  const int64_t copied = copy_once(from, offset, to, size);
  if (copied < 0) report_failure("copy", std::wstring());
  return copied;
}

}  // namespace plat
