#include "flows/uninstall.h"

#include <string>

#include "app/ui.h"
#include "common/log.h"
#include "common/strings.h"
#include "install/app_entry.h"
#include "install/filetree.h"
#include "install/lock.h"
#include "install/ownership.h"
#include "package/workdir.h"
#include "platform/platform.h"

namespace {

// The installation this uninstaller belongs to: the parent of its "bin" (or "Bin") directory,
// else the directory it lies in.
std::wstring installation_of(const std::wstring& program) {
  std::wstring dir = parent_path(program);
  std::wstring name = file_name_of(dir);
  return name == L"bin" || name == L"Bin" ? parent_path(dir) : dir;
}

// Only a directory that this installer recorded as installed right there is ever removed: an
// installer started with --uninstall from a downloads folder, or copies of the program planted
// anywhere, must not take that folder with it. The user's own folders never go, whatever they hold.
bool looks_like_installation(const std::wstring& dir) {
  if (dir.empty() || dir == L"." || dir.size() <= 3) return false;
  return is_recorded_installation(dir) && !is_user_folder(dir);
}

}  // namespace

bool start_uninstall(std::wstring& error) {
  std::wstring install = installation_of(work_program_path());
  if (!looks_like_installation(install)) {
    error = L"无法识别安装目录，卸载已取消。";
    return false;
  }
  // Not while an install or update works on it; the removal itself runs once we have ended.
  // The wait keeps the window live, so its buttons rest meanwhile.
  InstallationLock lock;
  set_busy(true);
  const bool locked = lock_installation(install, lock, error);
  set_busy(false);
  if (!locked) return false;
  std::wstring desktop = shell_folder(plat::kFolderDesktop);
  if (!desktop.empty()) plat::delete_file(join_path(desktop, std::wstring(L"Morvell") + plat::kShortcutExtension));
  std::wstring programs = shell_folder(plat::kFolderPrograms);
  // A few shortcuts: removed without a turn of the event loop, so that a second click on the
  // button cannot start the uninstall again halfway through.
  if (!programs.empty()) plat::delete_tree_silently(join_path(programs, L"Morvell"));
  remove_app_entry(install);

  // The directory itself goes once this process has ended, by a script that waits for that.
  std::wstring script = work_file_path(plat::kRemovalScriptName);
  write_file_bytes(script, plat::removal_script_text(install, parent_path(script)));
  const bool started = plat::run_script_detached(script, install, parent_path(script));
  log_detached_start(script, started);
  // Whoever asked must not be told of a removal that will never run.
  if (!started) error = L"无法启动卸载脚本，安装目录未删除。";
  return started;
}

void run_uninstall() {
  std::wstring error;
  if (!start_uninstall(error)) {
    show_message_dialog(MessageType::Error, wide_to_utf8(error));
    return;
  }
  quit_main_loop();
}
