// The per-installation lock. The lock file lies beside the installation (D + ".lock"), since D
// itself is renamed and replaced while the lock is held; the lock dies with its holder, so a
// run that was killed never keeps the next one out.
#include "install/lock.h"

#include "common/progress.h"
#include "install/filetree.h"

const wchar_t kInstallationBusy[] = L"另一个安装或更新正在进行，请稍后重试。";

namespace {

constexpr int kTries = 50;          // a try every 100 ms: five seconds in all
constexpr uint32_t kTryGapMs = 100;

// D without trailing separators, so that the lock lies beside the installation, never in it.
std::wstring lock_path_of(const std::wstring& install_dir) {
  std::wstring dir = install_dir;
  while (dir.size() > 1 && (dir.back() == L'/' || dir.back() == L'\\')) dir.pop_back();
  return dir + L".lock";
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
        error = L"无法写入安装目录，请关闭正在运行的 Morvell 后重试。";
        return false;
      case plat::LockResult::Busy: break;
    }
    pulse_progress(L"");
    sleep_with_events(kTryGapMs);
  }
  error = kInstallationBusy;
  return false;
}
