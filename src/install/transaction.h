// Installing a package archive into a directory: stage, swap, carry the configuration, finish.
#pragma once

#include <memory>
#include <string>

#include "install/lock.h"
#include "common/state.h"
#include "install/unpack.h"

// What an install leaves for once Morvell is running: the previous version in D + ".old", marked
// as the installer's, and the installation's lock, held until it is gone.
struct PreviousVersion {
  std::unique_ptr<InstallationLock> lock;   // let go while the finished dialog shows; taken again for the removal
  std::wstring install_dir;
  std::wstring backup;   // empty when no previous version was moved aside
};

// Installs, makes the shortcuts and starts Morvell as `options` choose (its folder and package
// are not read) and hands the previous version to `previous` instead of removing it; false with
// the message in `error`.
bool install_package(const PackageSource& package, const std::wstring& install_dir, const InstallOptions& options,
                     std::wstring& error, PreviousVersion& previous);
// Removes the previous version an install left (only while it still carries the mark and no
// journal is open), under the installation's lock (taken again when it was let go), with the
// window live, then lets go of the lock. When another run holds it now, the next run removes it.
void remove_previous_version(PreviousVersion& previous);
// Both of the above at once: the previous version goes right after the launch.
bool install_package(const std::wstring& package, const std::wstring& install_dir, const InstallOptions& options,
                     std::wstring& error);
