// Program shortcuts of an installation, written by the platform; every failure is silent. A
// shortcut at one of our names may start another installation (made later, at another place):
// only those that start this one go with it.
#include "install/shortcut.h"

#include <vector>

#include "common/log.h"
#include "common/strings.h"
#include "install/messages.h"
#include "platform/platform.h"

namespace {

std::wstring program_of(const std::wstring& install_dir, const wchar_t* name) {
  return join_path(join_path(install_dir, L"bin"), name);
}

std::wstring link_name(const wchar_t* name) { return std::wstring(name) + plat::kShortcutExtension; }

// The shortcut at `link` starts `program`, named as it is here or as the same file.
bool starts(const std::wstring& link, const std::wstring& program) {
  std::wstring target, arguments;
  if (!plat::read_shortcut(link, target, arguments)) return false;
  return plat::same_path_text(target, program) || plat::same_file(target, program);
}

void remove_if_ours(const std::wstring& link, const std::wstring& program) {
  if (plat::path_kind(link) == plat::PathKind::None) return;
  if (starts(link, program)) {
    plat::delete_file(link);
    return;
  }
  std::wstring target, arguments;
  plat::read_shortcut(link, target, arguments);
  log_line("保留快捷方式 " + plat::wide_to_utf8(link) + "：它启动的是 " + plat::wide_to_utf8(target) + "，不是 " + plat::wide_to_utf8(program));
}

}  // namespace

void create_shortcut(const std::wstring& target, const std::wstring& link, const std::wstring& directory,
                     const std::wstring& arguments) {
  plat::write_shortcut(target, link, directory, arguments, L"Morvell");
}

void create_installation_shortcuts(const std::wstring& install_dir, bool desktop, bool start_menu) {
  const std::wstring program_dir = join_path(install_dir, L"bin");
  const std::wstring program = program_of(install_dir, L"Morvell.exe");
  if (desktop) {
    const std::wstring folder = plat::shell_folder(plat::kFolderDesktop);
    if (!folder.empty()) create_shortcut(program, join_path(folder, link_name(L"Morvell")), program_dir, L"");
  }
  if (start_menu) {
    const std::wstring programs = plat::shell_folder(plat::kFolderPrograms);
    if (programs.empty()) return;
    const std::wstring folder = join_path(programs, L"Morvell");
    create_shortcut(program, join_path(folder, link_name(L"Morvell")), program_dir, L"");
    create_shortcut(program_of(install_dir, L"Morvell-Uninstall.exe"), join_path(folder, link_name(kUninstallShortcutTitle)),
                    program_dir, L"--uninstall");
  }
}

void remove_installation_shortcuts(const std::wstring& install_dir) {
  const std::wstring program = program_of(install_dir, L"Morvell.exe");
  const std::wstring desktop = plat::shell_folder(plat::kFolderDesktop);
  if (!desktop.empty()) remove_if_ours(join_path(desktop, link_name(L"Morvell")), program);
  const std::wstring programs = plat::shell_folder(plat::kFolderPrograms);
  if (programs.empty()) return;
  const std::wstring folder = join_path(programs, L"Morvell");
  remove_if_ours(join_path(folder, link_name(L"Morvell")), program);
  remove_if_ours(join_path(folder, link_name(kUninstallShortcutTitle)), program_of(install_dir, L"Morvell-Uninstall.exe"));
  std::vector<plat::DirEntry> left;
  if (plat::path_kind(folder) == plat::PathKind::Directory && plat::list_directory(folder, left) && left.empty())
    plat::remove_empty_directory(folder);
}
