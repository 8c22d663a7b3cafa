// The installation transaction: unpack beside the installation, swap the directories, carry
// the user's configuration across, then finish with the record, shortcuts and clean-up.
//
// A marker file D + ".swap" is the journal of the swap. It exists from just before the
// current installation is moved aside until the configuration has been carried into the new
// one; while it exists, D + ".old" holds the real installation. Every transaction first puts
// such an interrupted swap back, so a process that dies at any moment never costs the
// previous installation or its configuration.
#include "install/transaction.h"

#include <cstring>

#include "common/log.h"
#include "common/progress.h"
#include "common/strings.h"
#include "install/app_entry.h"
#include "install/config_backup.h"
#include "install/external.h"
#include "install/filetree.h"
#include "install/instances.h"
#include "install/lock.h"
#include "install/ownership.h"
#include "install/record.h"
#include "install/shortcut.h"
#include "platform/platform.h"

namespace {

bool exists(const std::wstring& path) { return plat::path_kind(path) != plat::PathKind::None; }

std::wstring rollback_failed_message(const std::wstring& backup) {
  return L"无法回滚安装，原安装已保留在 " + backup + L"，请手动恢复后重试。";
}

// Records that the installation is about to be moved aside. False when the record cannot be made.
bool write_marker(const std::wstring& marker) {
  plat::FileHandle file = plat::create_for_writing(marker);
  if (file == plat::kNoFile) return false;
  const size_t size = std::strlen(kSwapJournalText);
  bool written = plat::write_some(file, kSwapJournalText, size) == static_cast<int64_t>(size);
  plat::close_file(file);
  if (!written) plat::delete_file(marker);
  return written;
}

// Puts the previous installation back from the backup: the new tree in D goes first.
// On failure the backup and the marker stay, so no later run takes the backup for stale.
bool restore_backup(const std::wstring& install_dir, const std::wstring& backup, const std::wstring& marker,
                    std::wstring& error) {
  if (exists(install_dir)) delete_tree(install_dir);
  if (!plat::rename_replacing(backup, install_dir)) {
    error = rollback_failed_message(backup);
    return false;
  }
  plat::delete_file(marker);
  return true;
}

// Finishes a swap that an earlier run left half done. True when nothing stands in the way.
bool recover_interrupted_swap(const std::wstring& install_dir, const std::wstring& backup,
                              const std::wstring& marker, std::wstring& error) {
  // Only a whole journal claims the backup; an empty one was cut short before anything moved.
  bool marked = is_open_journal(marker);
  if (!marked && exists(marker)) plat::delete_file(marker);
  bool has_backup = plat::path_kind(backup) == plat::PathKind::Directory;
  if (marked && has_backup) return restore_backup(install_dir, backup, marker, error);
  if (!exists(install_dir) && has_backup) {
    // No journal, but the installation only survives in the backup: put it back.
    if (!plat::rename_replacing(backup, install_dir)) {
      error = rollback_failed_message(backup);
      return false;
    }
    return true;
  }
  // A marker without a backup: the swap had not begun, or D already is a complete tree.
  if (marked && !plat::delete_file(marker)) {
    error = L"无法备份当前安装目录，请关闭正在运行的 Morvell 后重试。";
    return false;
  }
  return true;
}

// Writes the record that makes the installation findable and removable. When it cannot be written
// (most often a full disk) the previous version's space is freed and it is tried again; an
// installation without its record is a failed one, and a first one is taken away again.
bool record_installation(const std::wstring& install_dir, const std::wstring& backup, bool had_previous,
                         std::wstring& error) {
  if (write_install_record(install_dir)) return true;
  discard_tree(backup, L"正在清理旧版本文件...");
  if (write_install_record(install_dir)) return true;
  if (!had_previous) discard_tree(install_dir);
  error = L"无法写入安装记录，请释放磁盘空间后重新安装。";
  return false;
}

}  // namespace

bool install_package(const std::wstring& package, const std::wstring& given_dir, bool desktop_shortcut,
                     bool start_menu_shortcut, bool launch, std::wstring& error) {
  // A link given as the installation stays as it is; the installation is the folder it names.
  const std::wstring install_dir = plat::resolve_directory_link(given_dir);
  const std::wstring staging = install_dir + L".new";
  const std::wstring backup = install_dir + L".old";
  const std::wstring marker = install_dir + L".swap";

  set_progress(L"正在准备安装目录...", 0.56);
  InstallationLock lock;
  if (!lock_installation(install_dir, lock, error)) return false;
  if (!install_location_is_ours(install_dir, staging, backup, marker, error)) return false;
  if (!recover_interrupted_swap(install_dir, backup, marker, error)) return false;
  if (!close_running_instances(install_dir, error)) return false;
  if (!settle_config(install_dir, error)) return false;   // a leftover update backup goes back first

  // Leftovers of an earlier run, made by the installer. The backup is stale here: no journal claims it.
  discard_tree(staging);
  discard_tree(backup);

  set_progress(L"正在解压安装包...", 0.60);
  if (!mark_staging_tree(staging)) {
    discard_tree(staging);
    error = L"无法打开安装目录。";
    return false;
  }
  if (!unpack_package(package, staging, error)) {
    discard_tree(staging);
    return false;
  }

  set_progress(L"正在替换程序文件...", 0.84);
  const bool had_previous = exists(install_dir);
  if (had_previous) {
    // A backup that could not be removed above would be taken for the installation by the
    // journal; a marker that cannot be written leaves the swap unprotected. Neither may go on.
    if (exists(backup) || !write_marker(marker) || !plat::rename_replacing(install_dir, backup)) {
      discard_tree(staging);
      if (exists(install_dir)) plat::delete_file(marker);
      error = L"无法备份当前安装目录，请关闭正在运行的 Morvell 后重试。";
      return false;
    }
  }

  if (!plat::rename_replacing(staging, install_dir)) {
    discard_tree(staging);
    error = L"无法写入安装目录，请关闭正在运行的 Morvell 后重试。";
    if (had_previous) restore_backup(install_dir, backup, marker, error);
    return false;
  }

  if (had_previous && !carry_configuration(backup, install_dir)) {
    error = L"无法恢复当前配置，安装已回滚，请确认安装目录可读写后重试。";
    restore_backup(install_dir, backup, marker, error);
    return false;
  }
  // The new installation now holds the configuration: close the journal. A journal that cannot
  // be closed would have a later run put the backup back over this installation and whatever
  // configuration the user changes in it, so the swap is undone now instead.
  if (had_previous && !plat::delete_file(marker)) {
    error = L"无法恢复当前配置，安装已回滚，请确认安装目录可读写后重试。";
    restore_backup(install_dir, backup, marker, error);
    return false;
  }

  set_progress(L"正在创建快捷方式...", 0.96);
  const std::wstring program_dir = join_path(install_dir, L"bin");
  const std::wstring program = join_path(program_dir, L"Morvell.exe");
  const std::wstring uninstaller = join_path(program_dir, L"Morvell-Uninstall.exe");
  const std::wstring extension = plat::kShortcutExtension;
  if (!record_installation(install_dir, backup, had_previous, error)) return false;
  unmark_tree(install_dir);   // the record shows whose it is from now on
  if (desktop_shortcut) {
    std::wstring desktop = shell_folder(plat::kFolderDesktop);
    if (!desktop.empty()) create_shortcut(program, join_path(desktop, L"Morvell" + extension), program_dir, L"");
  }
  if (start_menu_shortcut) {
    std::wstring programs = shell_folder(plat::kFolderPrograms);
    if (!programs.empty()) {
      const std::wstring folder = join_path(programs, L"Morvell");
      create_shortcut(program, join_path(folder, L"Morvell" + extension), program_dir, L"");
      create_shortcut(uninstaller, join_path(folder, L"卸载 Morvell" + extension), program_dir, L"--uninstall");
    }
  }
  discard_tree(backup, L"正在清理旧版本文件...");
  write_app_entry(install_dir);
  if (launch) log_detached_start(program, plat::launch_detached(program, {}, program_dir));
  return true;
}
