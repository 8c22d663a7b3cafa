// Windows backend: files and directories, whole-file streams.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace plat {

static PathKind kind_of_attributes(DWORD attributes) {
  // A reparse point (symbolic link, junction) is reported as a link and never followed.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::Link;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Directory;
  return PathKind::File;
}

PathKind path_kind(const std::wstring& path) {
  if (path.empty()) return PathKind::None;
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::None;
  return kind_of_attributes(attributes);
}

bool file_size(const std::wstring& path, uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool modification_time(const std::wstring& path, int64_t& time) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  time = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                              data.ftLastWriteTime.dwLowDateTime);
  return true;
}

MkdirResult make_directory(const std::wstring& path) {
  if (fault_injected("make_directory", path)) return MkdirResult::Failed;
  if (path.empty()) return MkdirResult::Failed;
  if (CreateDirectoryW(path.c_str(), nullptr)) return MkdirResult::Created;
  return GetLastError() == ERROR_ALREADY_EXISTS ? MkdirResult::AlreadyExists : MkdirResult::Failed;
}

bool delete_file(const std::wstring& path) {
  if (fault_injected("delete_file", path)) return false;
  if (path.empty()) return false;
  DWORD attributes = GetFileAttributesW(path.c_str());
  // A link to a directory is itself a directory entry: it goes with RemoveDirectoryW, its target stays.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return RemoveDirectoryW(path.c_str()) != 0;
  return DeleteFileW(path.c_str()) != 0;
}

bool remove_empty_directory(const std::wstring& path) {
  if (fault_injected("remove_empty_directory", path)) return false;
  return !path.empty() && RemoveDirectoryW(path.c_str()) != 0;
}

// The shell removes the tree in one call: `poll` has no turn here.
void delete_tree_silently(const std::wstring& path, const std::function<void()>& /*poll*/) {
  if (fault_injected("delete_tree", path)) return;
  if (path.empty()) return;
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {   // a link goes by itself; its target stays
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) RemoveDirectoryW(path.c_str());
    else DeleteFileW(path.c_str());
    return;
  }
  // The shell wants a list ended by two NULs, and backslashes only.
  std::wstring list = win32::native_separators(path);
  list.push_back(L'\0');
  list.push_back(L'\0');
  SHFILEOPSTRUCTW op;
  ZeroMemory(&op, sizeof op);
  op.hwnd = nullptr;
  op.wFunc = FO_DELETE;
  op.pFrom = list.c_str();
  op.pTo = nullptr;
  op.fFlags = 0x0414;   // FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI, never to the recycle bin
  SHFileOperationW(&op);
}

bool rename_replacing(const std::wstring& from, const std::wstring& to) {
  if (fault_injected("rename", from)) return false;
  if (from.empty() || to.empty()) return false;
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool is_read_only(const std::wstring& path) {
  DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

bool clear_read_only(const std::wstring& path) {
  if (fault_injected("clear_read_only", path)) return false;
  DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) return true;
  return SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) != 0;
}

static DWORD CALLBACK copy_progress_routine(LARGE_INTEGER total, LARGE_INTEGER transferred, LARGE_INTEGER,
                                            LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE, LPVOID context) {
  if (context) {
    const CopyProgress& progress = *static_cast<const CopyProgress*>(context);
    progress(static_cast<uint64_t>(total.QuadPart), static_cast<uint64_t>(transferred.QuadPart));
  }
  return PROGRESS_CONTINUE;   // a copy is never cancelled from here
}

bool copy_file(const std::wstring& from, const std::wstring& to, const CopyProgress& progress) {
  if (fault_injected("copy_file", to)) return false;
  if (from.empty() || to.empty()) return false;
  // Flags 0 overwrite an existing destination; a link is copied as the link itself.
  DWORD flags = path_kind(from) == PathKind::Link ? COPY_FILE_COPY_SYMLINK : 0;
  BOOL cancel = FALSE;
  const void* context = progress ? &progress : nullptr;
  return CopyFileExW(from.c_str(), to.c_str(), progress ? copy_progress_routine : nullptr,
                     const_cast<void*>(context), &cancel, flags) != 0;
}

bool list_directory(const std::wstring& path, std::vector<DirEntry>& entries) {
  entries.clear();
  if (path.empty()) return false;
  if (path_kind(path) != PathKind::Directory) return false;
  WIN32_FIND_DATAW data;
  const bool ends_with_separator = path.back() == L'\\' || path.back() == L'/';
  HANDLE find = FindFirstFileW((path + (ends_with_separator ? L"*" : L"\\*")).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    DirEntry entry;
    entry.name = name;
    entry.kind = kind_of_attributes(data.dwFileAttributes);
    entry.size = entry.kind == PathKind::Directory
                     ? 0
                     : (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entries.push_back(entry);
  } while (FindNextFileW(find, &data));
  bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(find);
  return complete;
}

bool make_executable(const std::wstring& path) {
  if (fault_injected("make_executable", path)) return false;
  return path_kind(path) != PathKind::None;   // Windows files carry no such bit
}

static FileHandle to_file_handle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE || handle == nullptr ? kNoFile : reinterpret_cast<FileHandle>(handle);
}

static HANDLE to_handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle open_for_reading(const std::wstring& path) {
  if (path.empty()) return kNoFile;
  return to_file_handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle create_for_writing(const std::wstring& path) {
  if (fault_injected("create_for_writing", path)) return kNoFile;
  if (path.empty()) return kNoFile;
  return to_file_handle(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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

int64_t write_some(FileHandle file, const void* buffer, size_t size) {
  if (file < 0) return -1;
  const char* bytes = static_cast<const char*>(buffer);
  size_t total = 0;
  while (total < size) {
    DWORD wanted = size - total > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size - total);
    DWORD written = 0;
    if (!WriteFile(to_handle(file), bytes + total, wanted, &written, nullptr)) return total ? static_cast<int64_t>(total) : -1;
    total += written;
    if (written < wanted) break;
  }
  return static_cast<int64_t>(total);
}

void close_file(FileHandle file) {
  if (file >= 0) CloseHandle(to_handle(file));
}

}  // namespace plat
