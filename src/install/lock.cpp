// The per-installation lock. The lock file lies beside the installation (D + ".lock"), since D
// itself is renamed and replaced while the lock is held; the lock dies with its holder, so a
// run that was killed never keeps the next one out.
#include "install/lock.h"

#include "common/filetree.h"
#include "common/progress.h"
#include "common/strings.h"
#include "install/ownership.h"


namespace {

constexpr int kTries = 50;          // a try every 100 ms: five seconds in all
constexpr uint32_t kTryGapMs = 100;

// D without trailing separators, so that the lock lies beside the installation, never in it.
std::wstring lock_path_of(const std::wstring& install_dir) {
  std::wstring dir = install_dir;
  while (dir.size() > 1 && (dir.back() == L'/' || dir.back() == L'\\')) dir.pop_back();
  return dir + L".lock";
}

// Why the lock file cannot be had: one that is not this user's stays as it is; otherwise the
// folder around the installation cannot take it (not writable, not there, read-only).
std::wstring lock_refusal(const std::wstring& path) {
  const plat::PathKind kind = plat::path_kind(path);
  if (kind != plat::PathKind::None && (kind != plat::PathKind::File || !plat::owned_by_current_user(path)))
    return not_ours_message(path);
  return L"无法在 " + parent_path(path) + L" 中创建锁文件 " + file_name_of(path) +
         L"，请确认该文件夹存在且可写，或选择其他安装位置。";
}

}  // namespace

InstallationLock::~InstallationLock() { plat::unlock_file(file, path); }

bool lock_installation(const std::wstring& install_dir, InstallationLock& lock, std::wstring& error) {
  lock.path = lock_path_of(install_dir);
  bool parents_made = false;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    switch (plat::try_lock_file(lock.path, lock.file)) {
      case plat::LockResult::Taken: return true;
      case plat::LockResult::Failed:
        // A first install may name a folder whose parents do not exist yet: they are made the
        // way the install makes them, once (a name may hold characters that other systems take
        // for separators, so the parent is not cut from the text).
        if (!parents_made && plat::path_kind(install_dir) == plat::PathKind::None &&
            create_directory_tree(install_dir)) {
          plat::remove_empty_directory(install_dir);
          parents_made = true;
          continue;
        }
        error = lock_refusal(lock.path);
        return false;
      case plat::LockResult::Busy: break;
    }
    pulse_progress(L"");
    sleep_with_events(kTryGapMs);
  }
  error = kInstallationBusy;
  return false;
}

bool try_lock_installation(const std::wstring& install_dir, InstallationLock& lock) {
  lock.path = lock_path_of(install_dir);
  return plat::try_lock_file(lock.path, lock.file) == plat::LockResult::Taken;
}
