// Windows backend: files and directories.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/backend.h"
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

// The target of a reparse point is not read here: a caller that must know where a link leads
// takes every one as leading out of its tree.
bool read_link(const std::wstring& /*path*/, std::wstring& /*target*/) { return false; }

std::wstring resolve_directory_link(const std::wstring& path) {
  if (path_kind(path) != PathKind::Link) return path;
  HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return path;
  std::vector<wchar_t> buffer(32768);
  DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(handle);
  if (length == 0 || length >= buffer.size()) return path;
  std::wstring resolved(buffer.data(), length);
  // The system answers in its long form: \\?\C:\... or \\?\UNC\server\share\...
  if (resolved.compare(0, 8, L"\\\\?\\UNC\\") == 0)
    resolved = L"\\" + resolved.substr(8);
  else if (resolved.compare(0, 4, L"\\\\?\\") == 0)
    resolved = resolved.substr(4);
  return path_kind(resolved) == PathKind::Directory ? resolved : path;
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
  if (injected("make_directory", path)) return MkdirResult::Failed;
  if (path.empty()) {
    refused("make_directory", path, ERROR_PATH_NOT_FOUND);
    return MkdirResult::Failed;
  }
  if (CreateDirectoryW(path.c_str(), nullptr)) return MkdirResult::Created;
  if (GetLastError() == ERROR_ALREADY_EXISTS) return MkdirResult::AlreadyExists;
  report_failure("make_directory", path);
  return MkdirResult::Failed;
}

// The current user's security identifier in its text form, or empty when it cannot be read.
static std::wstring current_user_sid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size ? size : 1);
  std::wstring text;
  LPWSTR sid = nullptr;
  if (size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
    text = sid;
    LocalFree(sid);
  }
  CloseHandle(token);
  return text;
}

namespace {

// One SID-valued piece of this process's token (TokenUser or TokenOwner), copied out.
std::vector<unsigned char> token_sid(TOKEN_INFORMATION_CLASS which) {
  std::vector<unsigned char> sid;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
  DWORD size = 0;
  GetTokenInformation(token, which, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size ? size : 1);
  if (size && GetTokenInformation(token, which, buffer.data(), size, &size)) {
    PSID found = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                    : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
    if (found && IsValidSid(found)) {
      const auto* bytes = static_cast<const unsigned char*>(found);
      sid.assign(bytes, bytes + GetLengthSid(found));
    }
  }
  CloseHandle(token);
  return sid;
}

}  // namespace

namespace win32 {

void* regular_file_only(void* handle) {
  HANDLE file = static_cast<HANDLE>(handle);
  if (file == INVALID_HANDLE_VALUE || file == nullptr) return INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
      !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
    return file;
  CloseHandle(file);
  SetLastError(ERROR_INVALID_FUNCTION);
  return INVALID_HANDLE_VALUE;
}

bool owned_by_this_user(void* handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(static_cast<HANDLE>(handle), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  bool owned = false;
  for (TOKEN_INFORMATION_CLASS which : {TokenUser, TokenOwner}) {
    std::vector<unsigned char> sid = token_sid(which);
    if (owner && !sid.empty() && EqualSid(owner, sid.data())) owned = true;
  }
  LocalFree(descriptor);
  return owned;
}

}  // namespace win32

bool make_private_directory(const std::wstring& path) {
  if (injected("make_directory", path)) return false;
  if (path.empty()) return refused("make_directory", path, ERROR_PATH_NOT_FOUND);
  // Full control for this user alone; nothing inherited from the folder around it.
  const std::wstring sid = current_user_sid();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (sid.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                         (L"D:P(A;OICI;FA;;;" + sid + L")").c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return report_failure("make_directory", path);
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  const bool made = CreateDirectoryW(path.c_str(), &attributes) != 0;
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  SetLastError(error);
  return made || report_failure("make_directory", path);
}

bool delete_file(const std::wstring& path) {
  if (injected("delete_file", path)) return false;
  if (path.empty()) return refused("delete_file", path, ERROR_FILE_NOT_FOUND);
  DWORD attributes = GetFileAttributesW(path.c_str());
  // A link to a directory is itself a directory entry: it goes with RemoveDirectoryW, its target stays.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return RemoveDirectoryW(path.c_str()) != 0 || report_failure("delete_file", path);
  return DeleteFileW(path.c_str()) != 0 || report_failure("delete_file", path);
}

bool remove_empty_directory(const std::wstring& path) {
  if (injected("remove_empty_directory", path)) return false;
  if (path.empty()) return refused("remove_empty_directory", path, ERROR_PATH_NOT_FOUND);
  return RemoveDirectoryW(path.c_str()) != 0 || report_failure("remove_empty_directory", path);
}

// The shell removes the tree in one call: `poll` has no turn here.
void delete_tree_silently(const std::wstring& path, const std::function<void()>& /*poll*/) {
  if (injected("delete_tree", path) || path.empty()) return;
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {   // a link goes by itself; its target stays
    const BOOL removed = attributes & FILE_ATTRIBUTE_DIRECTORY ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
    if (!removed) report_failure("delete_tree", path);
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
  // The shell answers with a code of its own, not the system's last error.
  const int result = SHFileOperationW(&op);
  if (result != 0) refused("delete_tree", path, static_cast<unsigned long>(result));
}

bool rename_replacing(const std::wstring& from, const std::wstring& to) {
  if (injected("rename", from)) return false;
  if (from.empty() || to.empty()) return refused("rename", from, ERROR_PATH_NOT_FOUND);
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0 || report_failure("rename", from, to);
}

bool is_read_only(const std::wstring& path) {
  DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

bool clear_read_only(const std::wstring& path) {
  if (injected("clear_read_only", path)) return false;
  if (path.empty()) return refused("clear_read_only", path, ERROR_FILE_NOT_FOUND);
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return report_failure("clear_read_only", path);
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) return true;
  return SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) != 0 ||
         report_failure("clear_read_only", path);
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
  if (injected("copy_file", to)) return false;
  if (from.empty() || to.empty()) return refused("copy_file", from, ERROR_FILE_NOT_FOUND);
  // Flags 0 overwrite an existing destination; a link is copied as the link itself.
  DWORD flags = path_kind(from) == PathKind::Link ? COPY_FILE_COPY_SYMLINK : 0;
  BOOL cancel = FALSE;
  const void* context = progress ? &progress : nullptr;
  return CopyFileExW(from.c_str(), to.c_str(), progress ? copy_progress_routine : nullptr,
                     const_cast<void*>(context), &cancel, flags) != 0 ||
         report_failure("copy_file", from, to);
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
  if (injected("make_executable", path)) return false;
  // Windows files carry no such bit: only that the file is there counts.
  return path_kind(path) != PathKind::None || report_failure("make_executable", path);
}

}  // namespace plat
