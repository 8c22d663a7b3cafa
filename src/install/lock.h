// One install, update or uninstall at a time on one installation: a lock file beside it.
#pragma once

#include <string>

#include "install/messages.h"
#include "platform/platform.h"


// Held from lock_installation until the object ends.
struct InstallationLock {
  plat::FileHandle file = plat::kNoFile;
  std::wstring path;
  InstallationLock() = default;
  InstallationLock(const InstallationLock&) = delete;
  InstallationLock& operator=(const InstallationLock&) = delete;
  ~InstallationLock();
};

// Takes the lock of the installation at `install_dir`, waiting a few seconds for another run to
// end with the window live; false with the refusal in `error`.
bool lock_installation(const std::wstring& install_dir, InstallationLock& lock, std::wstring& error);
// The same lock taken at once or not at all: false when another run holds it or it cannot be had.
bool try_lock_installation(const std::wstring& install_dir, InstallationLock& lock);
