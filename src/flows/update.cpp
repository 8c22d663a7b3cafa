// The update run: the installed application has downloaded a package and started us with
// --update; its files are written over the installation in place, keeping the user's config.
#include "flows/update.h"

#include "app/ui.h"
#include "common/log.h"
#include "common/state.h"
#include "common/strings.h"
#include "flows/instances.h"
#include "install/external.h"
#include "install/filetree.h"
#include "install/record.h"
#include "package/workdir.h"
#include "platform/platform.h"

namespace {

const wchar_t kBackupFailed[] = L"无法备份当前配置，请确认安装目录可读写后重试。";

// Everything between reading the inputs and the ending; false with `error` (maybe empty) set.
bool update_installation(const std::wstring& install_dir, const std::wstring& package, std::wstring& error) {
  if (install_dir.empty() || package.empty()) {
    error = L"更新参数不完整。";
    return false;
  }
  if (plat::path_kind(package) == plat::PathKind::None) {
    error = L"更新包不存在。";
    return false;
  }
  const std::wstring staging = join_path(install_dir, L"Morvell-Update-Temp");
  const std::wstring config = join_path(install_dir, L"config");
  const std::wstring backup = join_path(install_dir, L"Morvell-Update-Config-Backup");
  // The backup is written under this name and renamed when complete, so that a backup found
  // later is always whole (a run killed while copying leaves only this one behind).
  const std::wstring backup_partial = backup + L".partial";

  set_progress(L"正在准备更新...", 0.05);
  if (!close_running_instances(install_dir, error)) return false;

  // Leftovers of an earlier run. A configuration backup that is still there holds the user's
  // files from a run that failed while writing or restoring: they go back into config first.
  delete_tree(staging);
  delete_tree(backup_partial);
  if (plat::path_kind(backup) == plat::PathKind::Directory) {
    create_directory_tree(config);
    if (!copy_tree_with_progress(backup, config, L"正在恢复用户配置...", 0.05, 0.1)) {
      error = kBackupFailed;   // the backup stays for the next attempt
      return false;
    }
  }
  remove_tree(backup, L"正在清理临时配置备份...");

  set_progress(L"正在解压更新包...", 0.1);
  if (!extract_archive(package, staging, error)) {
    // A partial unpack can be large (a package that fills the disk): it goes now, not next run.
    delete_tree(staging);
    return false;
  }

  create_directory_tree(install_dir);
  bool backed_up = false;
  if (plat::path_kind(config) == plat::PathKind::Directory) {
    backed_up = copy_tree_with_progress(config, backup_partial, L"正在备份用户配置...", 0.64, 0.68) &&
                plat::rename_replacing(backup_partial, backup);
    if (!backed_up) {
      delete_tree(staging);
      delete_tree(backup_partial);
      delete_tree(backup);
      error = kBackupFailed;
      return false;
    }
  }

  uint64_t files = 0, bytes = 0;
  count_tree(staging, files, bytes);
  ProgressThrottle throttle;
  throttle.total = files == 0 ? 1 : files;
  throttle.done = 0;
  throttle.from = 0.7;
  throttle.to = 0.9;
  throttle.text = L"正在写入更新文件...";
  throttle.last_tick = 0;
  throttle.update(0, true);
  if (!move_tree(staging, install_dir, &throttle)) {
    // Files moved so far stay; the backup keeps the user's configuration for the next run.
    delete_tree(staging);
    error = L"无法写入安装目录。";
    return false;
  }

  if (backed_up) {
    // The user's files overwrite those the package brought; files only the package has stay.
    bool restored = copy_tree_with_progress(backup, config, L"正在恢复用户配置...", 0.9, 0.96);
    delete_tree(staging);
    if (!restored) {
      error = L"更新已写入，但恢复用户配置失败，请检查安装目录权限。";   // the backup stays
      return false;
    }
    delete_tree(backup);
  } else {
    delete_tree(staging);
    delete_tree(backup);
  }

  set_progress(L"正在完成更新...", 0.98);
  write_install_record(install_dir);
  return true;
}

}  // namespace

bool run_update() {
  set_busy(true);
  const std::wstring install_dir = clean_path_input(utf8_to_wide(install_options.install_dir));
  const std::wstring package = utf8_to_wide(install_options.package_path);
  std::wstring error;
  const bool ok = update_installation(install_dir, package, error);

  // The package is consumed whatever the outcome and wherever it lies.
  if (!package.empty()) plat::delete_file(package);
  cleanup_work_directory();
  set_busy(false);

  if (ok) {
    exit_code = 0;
    set_progress(L"更新完成，正在重新启动 Morvell...", 1.0);
    // The message promises a restart: start the updated application, detached, from its folder.
    const std::wstring bin = join_path(install_dir, L"bin");
    log_detached_start(join_path(bin, L"Morvell.exe"), plat::launch_detached(join_path(bin, L"Morvell.exe"), {}, bin));
    sleep_with_events(500);
    quit_main_loop();
    return false;
  }
  exit_code = 4;
  const std::wstring message = error.empty() ? std::wstring(L"更新失败。") : error;
  set_status(message);
  show_message_dialog(MessageType::Error, wide_to_utf8(message));
  quit_main_loop();
  return false;
}
