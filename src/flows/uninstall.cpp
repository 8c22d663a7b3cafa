#include "flows/uninstall.h"

#include <string>

#include "app/ui.h"
#include "common/log.h"
#include "common/strings.h"
#include "install/filetree.h"
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

// Only a directory that holds this application's files is ever removed: an installer started
// with --uninstall from a downloads folder must not take that folder with it.
bool looks_like_installation(const std::wstring& dir) {
  if (dir.empty() || dir == L"." || dir.size() <= 3) return false;
  std::wstring app = join_path(join_path(dir, L"bin"), L"Morvell.exe");
  return plat::path_kind(app) == plat::PathKind::File ||
         plat::path_kind(join_path(dir, L"install-info.json")) == plat::PathKind::File;
}

}  // namespace

void run_uninstall() {
  std::wstring install = installation_of(work_program_path());
  if (!looks_like_installation(install)) {
    show_message_dialog(MessageType::Error, "无法识别安装目录，卸载已取消。");
    return;
  }
  std::wstring desktop = shell_folder(plat::kFolderDesktop);
  if (!desktop.empty()) plat::delete_file(join_path(desktop, std::wstring(L"Morvell") + plat::kShortcutExtension));
  std::wstring programs = shell_folder(plat::kFolderPrograms);
  // A few shortcuts: removed without a turn of the event loop, so that a second click on the
  // button cannot start the uninstall again halfway through.
  if (!programs.empty()) plat::delete_tree_silently(join_path(programs, L"Morvell"));

  // The directory itself goes once this process has ended, by a script that waits for that.
  std::wstring script = work_file_path(plat::kRemovalScriptName);
  write_file_bytes(script, plat::removal_script_text(install, parent_path(script)));
  log_detached_start(script, plat::run_script_detached(script));
  quit_main_loop();
}
