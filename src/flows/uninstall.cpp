#include "flows/uninstall.h"

#include <cwchar>
#include <random>
#include <string>

#include "common/filetree.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/strings.h"
#include "flows/messages.h"
#include "install/app_entry.h"
#include "install/instances.h"
#include "install/lock.h"
#include "install/ownership.h"
#include "install/rollback.h"
#include "install/settle.h"
#include "install/shortcut.h"
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
bool looks_like_installation(const std::wstring& dir, bool settled) {
  if (dir.empty() || dir == L"." || dir.size() <= 3) return false;
  // Before settling, an update cut short may have its record out of the way in its rollback area.
  return (is_recorded_installation(dir) || (!settled && is_interrupted_update(dir))) && !is_user_folder(dir);
}

// A file of a name nobody else can know, made in the installation for its removal script.
std::wstring make_removal_mark(const std::wstring& install) {
  std::random_device random;
  wchar_t text[40];
  std::swprintf(text, 40, L".morvell-uninstall-%08x%08x", random(), random());
  plat::FileHandle file = plat::create_new_file(join_path(install, text));
  if (file == plat::kNoFile) return std::wstring();
  plat::close_file(file);
  return text;
}

}  // namespace

bool start_uninstall(std::wstring& error) {
  std::wstring install = installation_of(work_program_path());
  if (!looks_like_installation(install, false)) {
    error = kUnknownInstallation;
    return false;
  }
  // Not while an install or update works on it; the removal itself runs once we have ended.
  // Running copies go first, as for an update, so that nothing writes into the folder while it
  // goes. The waits keep the window live, so its buttons rest meanwhile.
  InstallationLock lock;
  set_busy(true);
  bool ready = lock_installation(install, lock, error) && settle_installation(install, error);
  if (ready && !looks_like_installation(install, true)) {
    error = kUnknownInstallation;
    ready = false;
  }
  ready = ready && close_running_instances(install, error);
  // The removal later takes only the folder that carries this mark: an installation made there
  // in the meantime carries none.
  const std::wstring mark = ready ? make_removal_mark(install) : std::wstring();
  if (ready && mark.empty()) {
    error = L"无法写入安装目录，卸载已取消。";
    ready = false;
  }
  set_busy(false);
  if (!ready) return false;
  // A few shortcuts: removed without a turn of the event loop, so that a second click on the
  // button cannot start the uninstall again halfway through.
  remove_installation_shortcuts(install);
  remove_app_entry(install);

  // The directory itself goes once this process has ended, by a script that waits for that.
  std::wstring script = work_file_path(plat::kRemovalScriptName);
  write_file_bytes(script, plat::removal_script_text(install, parent_path(script), mark));
  const bool started = plat::run_script_detached(script, install, parent_path(script), mark);
  log_detached_start(script, started);
  // Whoever asked must not be told of a removal that will never run.
  if (!started) error = L"无法启动卸载脚本，安装目录未删除。";
  return started;
}

void run_uninstall() {
  std::wstring error;
  if (!start_uninstall(error)) {
    show_message_dialog(MessageType::Error, plat::wide_to_utf8(error));
    return;
  }
  quit_main_loop();
}
