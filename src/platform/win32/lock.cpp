// Windows backend: file identity and the exclusive lock files (LockFileEx). The system ends a
// lock with the last handle of its holder, so a killed holder never blocks the next one.
#include <windows.h>

#include <string>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace plat {

namespace {

// The locked byte lies far beyond the text, so that the lock never stands in the way of reading it.
const DWORD kLockOffsetHigh = 1;

HANDLE open_object(const std::wstring& path) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool same_file(const std::wstring& a, const std::wstring& b) {
  if (a.empty() || b.empty()) return false;
  HANDLE first = open_object(a);
  if (first == INVALID_HANDLE_VALUE) return false;
  HANDLE second = open_object(b);
  BY_HANDLE_FILE_INFORMATION one{}, two{};
  bool same = second != INVALID_HANDLE_VALUE && GetFileInformationByHandle(first, &one) &&
              GetFileInformationByHandle(second, &two) && one.dwVolumeSerialNumber == two.dwVolumeSerialNumber &&
              one.nFileIndexHigh == two.nFileIndexHigh && one.nFileIndexLow == two.nFileIndexLow;
  if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
  CloseHandle(first);
  return same;
}

bool file_identity(const std::wstring& path, FileIdentity& identity) {
  if (path.empty()) return false;
  HANDLE object = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (object == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(object, &info) != 0;
  CloseHandle(object);
  if (!known) return false;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool owned_by_current_user(const std::wstring& path) {
  if (path.empty()) return false;
  HANDLE object = CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (object == INVALID_HANDLE_VALUE) return false;
  const bool owned = win32::owned_by_this_user(object);
  CloseHandle(object);
  return owned;
}

bool same_path_text(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (towlower(a[i]) != towlower(b[i])) return false;
  return true;
}

// Takes the lock of the lock file open at `file`, which it closes unless the lock is taken.
static LockResult lock_opened(HANDLE file, FileHandle& lock) {
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const bool busy = GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING;
    CloseHandle(file);
    return busy ? LockResult::Busy : LockResult::Failed;
  }
  // The holder before us may have removed the file after we opened it: such a lock guards nothing.
  FILE_STANDARD_INFO info{};
  if (!GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) || info.DeletePending) {
    CloseHandle(file);
    return LockResult::Busy;
  }
  // An empty lock file is one whose maker was killed before it could say so: claim it, so that
  // it goes again when this run ends.
  if (info.EndOfFile.QuadPart == 0) {
    DWORD written = 0;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) ||
        !WriteFile(file, kLockText, sizeof kLockText - 1, &written, nullptr) || written != sizeof kLockText - 1) {
      CloseHandle(file);
      return LockResult::Failed;
    }
  }
  lock = reinterpret_cast<FileHandle>(file);
  return LockResult::Taken;
}

namespace backend {

LockResult take_lock(const std::wstring& path, FileHandle& lock) {
  const DWORD access = GENERIC_READ | GENERIC_WRITE | DELETE;
  // Read only is shared: nobody else can open the file to lock it while this handle lives, so a
  // file just made is held from the start, before its mark is written.
  const DWORD share = FILE_SHARE_READ;
  HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (!WriteFile(file, kLockText, sizeof kLockText - 1, &written, nullptr) || written != sizeof kLockText - 1) {
      // A lock file that does not say it is ours would stay behind for good.
      FILE_DISPOSITION_INFO gone{TRUE};
      SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone);
      CloseHandle(file);
      return LockResult::Failed;
    }
  } else if (GetLastError() == ERROR_FILE_EXISTS) {
    file = CreateFileW(path.c_str(), access | READ_CONTROL, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // A lock file that another user put there (or a link) is not ours to hold, write or remove.
    file = win32::regular_file_only(file);
    if (file != INVALID_HANDLE_VALUE && !win32::owned_by_this_user(file)) {
      CloseHandle(file);
      SetLastError(ERROR_ACCESS_DENIED);
      return LockResult::Failed;
    }
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_FUNCTION) return LockResult::Failed;
  }
  if (file == INVALID_HANDLE_VALUE) {
    // A file that its last holder is removing cannot be opened until it is gone.
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? LockResult::Busy : LockResult::Failed;
  }
  return lock_opened(file, lock);
}

// Marked for removal: the file goes when the last handle closes, which is ours.
bool remove_held_lock(FileHandle lock, const std::wstring&) {
  FILE_DISPOSITION_INFO gone{TRUE};
  return SetFileInformationByHandle(reinterpret_cast<HANDLE>(lock), FileDispositionInfo, &gone, sizeof gone) != 0;
}

}  // namespace backend

}  // namespace plat
