#include "flows/install_driver.h"

#include <string>
#include <vector>

#include "catalogue/download.h"
#include "catalogue/messages.h"
#include "common/external.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/state.h"
#include "common/strings.h"
#include "flows/messages.h"
#include "install/settle.h"
#include "install/transaction.h"
#include "package/payload.h"
#include "package/verify.h"
#include "package/workdir.h"
#include "platform/platform.h"

namespace {

bool path_exists(const std::wstring& path) { return plat::path_kind(path) != plat::PathKind::None; }

// Removes the work directory, then shows the message in the status line and an error dialog.
void fail_install(const std::wstring& error) {
  cleanup_work_directory();
  std::wstring message = error.empty() ? std::wstring(L"安装失败。") : error;
  set_status(message);
  show_message_dialog(MessageType::Error, plat::wide_to_utf8(message));
}

// Morvell is running by now: the dialog tells so, and the previous version goes after it with
// the window live, busy again so that nothing starts meanwhile.
void finish_install(bool downloaded, const std::wstring& package, PreviousVersion& previous) {
  if (downloaded) delete_work_file(package);
  cleanup_work_directory();
  set_progress(L"安装完成。", 1.0);
  // Nobody is kept out of the installation while the dialog waits for the user.
  previous.lock.reset();
  show_message_dialog(MessageType::Info, "Morvell 安装完成");
  const bool cleaning = !previous.backup.empty();
  if (cleaning) set_busy(true);
  remove_previous_version(previous);   // the lock goes with it, also when there is nothing to remove
  if (cleaning) set_busy(false);
  quit_main_loop();
}

// A release that is itself an installer program rather than an archive.
bool is_installer_program(const ReleaseEntry& entry) {
  return entry.kind == "installer" || ends_with_ignore_case(entry.file_name, ".exe") ||
         ends_with_ignore_case(entry.download_url, "/installer");
}

// The options of a silent offline install into `dir` with the choices of this press.
std::vector<std::wstring> child_arguments(const std::wstring& dir) {
  std::vector<std::wstring> arguments = {L"--offline", L"--silent-install", L"--install-dir", dir};
  if (!install_options.desktop_shortcut) arguments.push_back(L"--no-desktop-shortcut");
  if (!install_options.start_menu_shortcut) arguments.push_back(L"--no-start-menu-shortcut");
  if (!install_options.launch_after_install) arguments.push_back(L"--no-launch");
  if (log_enabled()) arguments.insert(arguments.end(), {L"--log", log_path()});   // its story goes on in our log
  return arguments;
}

// Downloads the chosen release into the work directory and checks its digest; `package` names
// the download (also a partial or rejected one) once a release has been chosen.
bool fetch_release(std::wstring& package, bool& runs_installer, bool& downloaded, std::wstring& error) {
  const auto& entries = release_catalogue.entries;
  int32_t index = release_catalogue.selected;
  if (index < 0 || static_cast<size_t>(index) >= entries.size()) {
    error = kChooseVersion;
    return false;
  }
  const ReleaseEntry& entry = entries[static_cast<size_t>(index)];
  runs_installer = is_installer_program(entry);
  package = work_file_path(runs_installer ? L"Morvell-download-installer.exe" : L"Morvell-download.zip");
  set_progress(L"正在下载安装包...", bar::kDownload.from);
  downloaded = http_download(entry.download_url, nullptr, package, error);
  if (!downloaded) return false;
  if (!entry.sha256.empty()) {
    set_progress(L"正在校验安装包...", bar::kDigest.from);
    std::string digest;
    if (!sha256_file_hex(package, digest) || digest != entry.sha256) {
      error = L"安装包校验失败。";
      return false;
    }
  }
  return true;
}

}  // namespace

void run_install(const InstallRequest& request) {
  set_busy(true);
  // Absolute and normal, as at start-up: the siblings, the record and the shortcuts all name it.
  const std::wstring typed = clean_path_input(plat::utf8_to_wide(request.location));
  std::wstring dir = typed.empty() ? typed : plat::absolute_path(typed);
  // The choices are kept even when this press fails at once.
  install_options.desktop_shortcut = request.desktop_shortcut;
  install_options.start_menu_shortcut = request.start_menu_shortcut;
  install_options.launch_after_install = request.launch_after_install;
  std::wstring error;
  if (dir.empty()) {
    set_busy(false);
    fail_install(L"请选择安装目录。");
    return;
  }
  set_location_text(plat::wide_to_utf8(dir));
  // Told before anything is downloaded; the install itself checks again under its lock.
  if (!unsettled_target_is_ours(plat::resolve_directory_link(dir), error)) {
    set_busy(false);
    fail_install(error);
    return;
  }
  set_progress(L"正在准备安装...", bar::kPreparing);

  std::wstring package;
  PackageSource source;
  bool runs_installer = false, downloaded = false;
  if (!install_options.package_path.empty()) {
    package = plat::utf8_to_wide(install_options.package_path);
    if (!path_exists(package)) {
      set_busy(false);
      fail_install(kPackageNotFound);
      return;
    }
    set_progress(L"正在准备更新包...", bar::kPackageGiven);
  } else if (run_mode == RunMode::Offline) {
    set_progress(L"正在读取离线安装包...", bar::kCarriedRead.from);
    const bool found = offline_package(source, downloaded, error);
    if (downloaded) package = source.file;   // a copy in the work directory, never the program
    if (!found) {
      set_busy(false);
      // The copy that broke off halfway goes with the work directory.
      if (downloaded) delete_work_file(package);
      fail_install(error);
      return;
    }
  } else if (!fetch_release(package, runs_installer, downloaded, error)) {
    set_busy(false);
    delete_work_file(package);   // a partial or rejected download
    fail_install(error);
    return;
  }

  set_progress(L"正在安装 Morvell...", bar::kInstalling);
  if (runs_installer) {
    plat::make_executable(package);
    uint32_t code = 0;
    if (run_and_wait(package, child_arguments(dir), L"正在等待安装包完成...", error, &code, true)) {
      if (path_exists(join_path(join_path(dir, L"bin"), L"Morvell.exe"))) {
        set_busy(false);
        PreviousVersion none;   // the child removed its own
        finish_install(downloaded, package, none);
        return;
      }
      error = L"安装包没有安装到所选目录，请重新选择安装位置后重试。";
    }
    set_busy(false);
    if (downloaded) delete_work_file(package);
    fail_install(error);
    return;
  }

  if (source.file.empty()) source.file = package;
  PreviousVersion previous;
  bool ok = install_package(source, dir, install_options, error, previous);
  set_busy(false);
  if (ok) {
    finish_install(downloaded, package, previous);
    return;
  }
  if (downloaded) delete_work_file(package);
  fail_install(error);
}
