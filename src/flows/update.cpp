// The update run: the installed application has downloaded a package and started us with
// --update; its files are written over the installation in place, keeping the user's config.
#include "flows/update.h"

#include "app/ui.h"
#include "common/log.h"
#include "common/state.h"
#include "common/strings.h"
#include "install/app_entry.h"
#include "install/config_backup.h"
#include "install/external.h"
#include "install/filetree.h"
#include "install/instances.h"
#include "install/lock.h"
#include "install/ownership.h"
#include "install/record.h"
#include "install/settle.h"
#include "package/workdir.h"
#include "platform/platform.h"

namespace {

// Everything between reading the inputs and the ending; false with `error` (maybe empty) set.
bool update_installation(const std::wstring& given_dir, const std::wstring& package, std::wstring& error) {
  // A link given as the installation stays as it is; the update works on the folder it names.
  const std::wstring install_dir = plat::resolve_directory_link(given_dir);
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
  set_progress(L"正在准备更新...", 0.05);
  InstallationLock lock;
  if (!lock_installation(install_dir, lock, error)) return false;
  // Whatever a killed run left half done is completed or undone first, a configuration backup
  // that is still there goes back into config wherever it is still right.
  if (!settle_installation(install_dir, error)) return false;
  // Files are written over what is there: only over an installation.
  if (!is_installation(install_dir)) {
    error = kNotAnInstallation;
    return false;
  }
  if (!close_running_instances(install_dir, error)) return false;
  delete_tree(staging);

  set_progress(L"正在解压更新包...", 0.1);
  if (!extract_archive(package, staging, error)) {
    // A partial unpack can be large (a package that fills the disk): it goes now, not next run.
    delete_tree(staging);
    return false;
  }

  create_directory_tree(install_dir);
  bool backed_up = false;
  if (plat::path_kind(config) == plat::PathKind::Directory) {
    backed_up = back_up_config(install_dir, join_path(staging, L"config"), error);
    if (!backed_up) {
      delete_tree(staging);
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
    // Files moved so far stay; the user's configuration goes back at once.
    delete_tree(staging);
    error = L"无法写入安装目录。";
    if (backed_up && !restore_own_config_backup(install_dir)) error += config_backup_kept_note(install_dir);
    return false;
  }

  // The user's files overwrite those the package brought; files only the package has stay.
  const bool restored = !backed_up || restore_own_config_backup(install_dir);
  delete_tree(staging);
  if (!restored) {
    error = L"更新已写入，但恢复用户配置失败，请检查安装目录权限。" + config_backup_kept_note(install_dir);
    return false;
  }

  set_progress(L"正在完成更新...", 0.98);
  write_install_record(install_dir);
  update_app_entry(install_dir);
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
