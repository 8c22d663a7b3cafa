// Windows backend: whole-file streams. A file made new is made only where nothing stands, a
// link included.
#include <windows.h>

#include <string>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace plat {

static FileHandle to_file_handle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE || handle == nullptr ? kNoFile : reinterpret_cast<FileHandle>(handle);
}

static HANDLE to_handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle open_for_reading(const std::wstring& path) {
  if (path.empty()) return kNoFile;
  // The reparse point itself is opened, never what it leads to, and then refused.
  return to_file_handle(win32::regular_file_only(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
}

FileHandle open_for_sequential_reading(const std::wstring& path) {
  if (path.empty()) return kNoFile;
  return to_file_handle(win32::regular_file_only(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                             OPEN_EXISTING,
                                                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                                             nullptr)));
}

FileHandle create_for_writing(const std::wstring& path) {
  if (injected("create_for_writing", path)) return kNoFile;
  if (path.empty()) {
    refused("create_for_writing", path, ERROR_PATH_NOT_FOUND);
    return kNoFile;
  }
  const FileHandle file = to_file_handle(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file == kNoFile) report_failure("create_for_writing", path);
  return file;
}

FileHandle create_new_file(const std::wstring& path) {
  if (injected("create_for_writing", path)) return kNoFile;
  if (path.empty()) {
    refused("create_new_file", path, ERROR_PATH_NOT_FOUND);
    return kNoFile;
  }
  const FileHandle file = to_file_handle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (file == kNoFile) report_failure("create_new_file", path);
  return file;
}

bool handle_size(FileHandle file, uint64_t& size) {
  LARGE_INTEGER value;
  if (file < 0 || !GetFileSizeEx(to_handle(file), &value)) return false;
  size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool seek_to(FileHandle file, uint64_t offset) {
  if (file < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(to_handle(file), distance, nullptr, FILE_BEGIN) != 0;
}

int64_t read_some(FileHandle file, void* buffer, size_t size) {
  if (file < 0) return -1;
  DWORD wanted = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!ReadFile(to_handle(file), buffer, wanted, &got, nullptr)) return -1;
  return static_cast<int64_t>(got);
}

namespace backend {

int64_t write_chunk(FileHandle file, const void* data, size_t size) {
  const DWORD wanted = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  DWORD written = 0;
  if (!WriteFile(to_handle(file), data, wanted, &written, nullptr)) return -1;
  return static_cast<int64_t>(written);
}

int64_t read_at(FileHandle file, uint64_t offset, void* buffer, size_t size) {
  return seek_to(file, offset) ? read_some(file, buffer, size) : -1;
}

// No copy of the system's own between two open files: always through a buffer.
int64_t system_copy(FileHandle, uint64_t, FileHandle, size_t) { return kNoSystemCopy; }

// Large pieces: the fewer calls, the nearer the disk's own speed.
const size_t kCopyBufferSize = 8u << 20;

}  // namespace backend

void close_file(FileHandle file) {
  if (file >= 0) CloseHandle(to_handle(file));
}

}  // namespace plat
