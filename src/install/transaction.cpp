// The installation transaction: unpack beside the installation, swap the directories, carry
// the user's configuration across, then finish with the record, shortcuts and the launch; the
// previous version goes last, once Morvell is running.
//
// The journal D + ".swap" (see swap_journal.h) exists from just before the current installation
// is moved aside until the new one holds the configuration and its record; while it exists,
// D + ".old" holds the real installation. Every run that holds the lock first settles such an
// interrupted swap, so a process that dies at any moment never costs the previous installation or
// its configuration. An empty folder (or a tree of ours that a killed run of that kind left) is
// installed into in place: nothing needs to move, so a mount point or a folder whose parent
// cannot be written works as well.
#include "install/transaction.h"

#include "common/filetree.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/strings.h"
#include "install/app_entry.h"
#include "install/config_backup.h"
#include "install/instances.h"
#include "install/lock.h"
#include "install/messages.h"
#include "install/ownership.h"
#include "install/record.h"
#include "install/settle.h"
#include "install/shortcut.h"
#include "install/swap_journal.h"
#include "install/unpack.h"
#include "platform/platform.h"

namespace {


bool exists(const std::wstring& path) { return plat::path_kind(path) != plat::PathKind::None; }

// Unpacks into the empty folder D itself; on failure D is left empty again, as it was.
bool install_in_place(const PackageSource& package, const std::wstring& install_dir, std::wstring& error) {
  set_progress(kUnpackingStatus, bar::kUnpacking);
  if (!mark_staging_tree(install_dir)) {
    error = kCannotOpenInstallDir;
    return false;
  }
  if (!unpack_package(package, install_dir, error)) {
    discard_work_tree_contents(install_dir);
    return false;
  }
  set_progress(kReplacingStatus, bar::kReplacing);
  if (write_install_record(install_dir)) return true;
  discard_work_tree_contents(install_dir);
  error = kRecordFailed;
  return false;
}

// Unpacks beside D and swaps the new tree in; the previous installation, if any, waits in the
// backup until the new one holds the configuration and its record.
bool install_by_swap(const PackageSource& package, const std::wstring& install_dir, const SwapNames& names,
                     std::wstring& error) {
  set_progress(kUnpackingStatus, bar::kUnpacking);
  if (!mark_staging_tree(names.staging)) {
    discard_work_tree(names.staging);
    error = kCannotOpenInstallDir;
    return false;
  }
  if (!unpack_package(package, names.staging, error)) {
    discard_work_tree(names.staging);
    return false;
  }

  set_progress(kReplacingStatus, bar::kReplacing);
  const bool had_previous = exists(install_dir);
  if (had_previous && (!open_swap_journal(install_dir) || !plat::rename_replacing(install_dir, names.backup))) {
    discard_work_tree(names.staging);
    // The journal claims nothing while the installation still stands in D.
    if (exists(install_dir) && !exists(names.backup) && exists(names.journal)) plat::delete_file(names.journal);
    error = kBackupFailed;
    return false;
  }
  if (!plat::rename_replacing(names.staging, install_dir)) {
    discard_work_tree(names.staging);
    error = kWriteFailed;
    if (had_previous) undo_swap(install_dir, error);
    return false;
  }
  // An installation without its record could be neither updated nor uninstalled: it is a failed
  // one, and the previous version (with its record) comes back.
  const bool carried = !had_previous || carry_configuration(names.backup, install_dir);
  const bool recorded = carried && write_install_record(install_dir);
  // A journal that cannot be closed would have a later run put the backup back over this
  // installation and whatever the user changes in it: the swap is undone now instead.
  if (!recorded || (had_previous && !close_swap_journal(install_dir))) {
    error = carried && !recorded ? kRecordFailed : kCarryFailed;
    if (had_previous)
      undo_swap(install_dir, error);
    else
      discard_work_tree(install_dir);
    return false;
  }
  return true;
}

}  // namespace

namespace {

// Under the installation's lock: the location and everything beside it are proven the
// installer's, what a killed run left is settled, running copies are closed and the leftovers of
// earlier runs are gone. False with the refusal in `error`.
bool prepare_location(const std::wstring& install_dir, const SwapNames& names, std::wstring& error) {
  // The target first: a folder of the user's is refused for what it is, whatever stands beside it;
  // while a journal is open, D may be the new tree of the swap it records, and is judged after it.
  if (exists(install_dir) && is_user_folder(install_dir)) {
    error = kUserFolderRefused;
    return false;
  }
  if (!exists(names.journal) && !unsettled_target_is_ours(install_dir, error)) return false;
  if (!settle_installation(install_dir, error)) return false;
  if (!install_location_is_ours(install_dir, names.staging, names.backup, names.journal, error)) return false;
  if (!close_running_instances(install_dir, error)) return false;

  // Leftovers of an earlier run, shown above to be the installer's: no journal claims them now.
  discard_work_tree(names.staging);
  discard_work_tree(names.backup);
  if (exists(names.staging) || exists(names.backup)) {
    error = kBackupFailed;
    return false;
  }
  return true;
}

// Unpacks into D when it is an empty folder or a marked tree of ours, else beside it and swaps.
bool put_files_in_place(const PackageSource& package, const std::wstring& install_dir, const SwapNames& names,
                        std::wstring& error) {
  const bool in_place = exists(install_dir) && !is_installation(install_dir);
  // An installation still marked (a run killed just before it took the mark away) would carry
  // the mark into the backup, where it says "leftover": it goes first.
  if (!in_place && is_own_marked_tree(install_dir)) unmark_tree(install_dir);
  if (!in_place && plat::path_kind(join_path(install_dir, kStagingMark)) != plat::PathKind::None) {
    error = kBackupFailed;
    return false;
  }
  return in_place ? install_in_place(package, install_dir, error) : install_by_swap(package, install_dir, names, error);
}

// The installation is recorded: the shortcuts, the system's list of programs and the launch.
void finish_installation(const std::wstring& install_dir, const InstallOptions& options) {
  set_progress(kShortcutsStatus, bar::kShortcuts);
  unmark_tree(install_dir);   // the record shows whose it is from now on
  create_installation_shortcuts(install_dir, options.desktop_shortcut, options.start_menu_shortcut);
  write_app_entry(install_dir);
  if (options.launch_after_install) {
    const std::wstring program_dir = join_path(install_dir, L"bin");
    const std::wstring program = join_path(program_dir, L"Morvell.exe");
    log_detached_start(program, plat::launch_detached(program, {}, program_dir));
  }
}

}  // namespace

bool install_package(const PackageSource& package, const std::wstring& given_dir, const InstallOptions& options,
                     std::wstring& error, PreviousVersion& previous) {
  // A link given as the installation stays as it is; the installation is the folder it names.
  const std::wstring install_dir = plat::resolve_directory_link(given_dir);
  const SwapNames names = swap_names(install_dir);

  set_progress(kPreparingFolderStatus, bar::kPreparingFolder);
  auto lock = std::make_unique<InstallationLock>();
  if (!lock_installation(install_dir, *lock, error) || !prepare_location(install_dir, names, error) ||
      !put_files_in_place(package, install_dir, names, error))
    return false;
  finish_installation(install_dir, options);
  // The previous version is marked as the installer's leftover by now; what the user waits for is
  // Morvell, so it goes only after the launch, and a run killed meanwhile leaves it to the next.
  previous.lock = std::move(lock);
  previous.install_dir = install_dir;
  previous.backup = exists(names.backup) ? names.backup : std::wstring();
  return true;
}

void remove_previous_version(PreviousVersion& previous) {
  if (!previous.lock && !previous.backup.empty()) {
    // The lock was let go while the dialog showed (an update Morvell starts meanwhile is not kept
    // waiting): taken again, with no wait, or the previous version is left to the next run.
    auto lock = std::make_unique<InstallationLock>();
    if (try_lock_installation(previous.install_dir, *lock)) previous.lock = std::move(lock);
  }
  // Under the lock: a marked backup is only ever a finished run's leftover, and one that a swap
  // in progress needs is unmarked and stands beside its open journal.
  if (previous.lock && !previous.backup.empty() && is_own_marked_tree(previous.backup) &&
      !exists(swap_names(previous.install_dir).journal))
    discard_work_tree(previous.backup, kRemovingPreviousStatus);
  previous.backup.clear();
  previous.lock.reset();
}

bool install_package(const std::wstring& package, const std::wstring& install_dir, const InstallOptions& options,
                     std::wstring& error) {
  PreviousVersion previous;
  const bool installed = install_package(PackageSource{package}, install_dir, options, error, previous);
  remove_previous_version(previous);
  return installed;
}
