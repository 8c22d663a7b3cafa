// The Uninstall button's work on Windows: the shortcuts in the prefix's shell folders go at once,
// the .cmd script lands in the work folder with the designed bytes and is started hidden.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/strings.h"
#include "flows/uninstall.h"
#include "install/record.h"
#include "package/workdir.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/wine.h"

using namespace testing_support;

namespace {

struct ProgramPathGuard {
  ~ProgramPathGuard() { set_work_program_path(L""); }
};

void make_shortcuts(const std::wstring& target) {
  std::wstring desktop = plat::shell_folder(plat::kFolderDesktop);
  std::wstring programs = plat::shell_folder(plat::kFolderPrograms);
  ASSERT_TRUE(plat::write_shortcut(target, desktop + L"\\Morvell.lnk", parent_path(target), L"", L"Morvell"));
  ASSERT_TRUE(plat::write_shortcut(target, programs + L"\\Morvell\\Morvell.lnk", parent_path(target), L"", L"Morvell"));
}

}  // namespace

TEST(Win32Uninstall, ShortcutsGoAndTheScriptRemovesTheInstallation) {
  ProgramPathGuard guard;
  TempDir tmp;
  std::wstring d = tmp.wide() + L"\\Morvell 6";
  write_text(U(d + L"\\bin\\Morvell.exe"), "app");
  write_text(U(d + L"\\bin\\Morvell-Uninstall.exe"), "uninstaller");
  write_text(U(d + L"\\config\\settings.ini"), "settings");
  // The record names the folder as Windows compares paths: letter case and separators aside.
  write_text(U(d + L"\\install-info.json"), install_record_text(to_lower_wide(tmp.wide() + L"/Morvell 6")));
  make_shortcuts(d + L"\\bin\\Morvell.exe");
  std::wstring desktop_link = plat::shell_folder(plat::kFolderDesktop) + L"\\Morvell.lnk";
  std::wstring menu = plat::shell_folder(plat::kFolderPrograms) + L"\\Morvell";

  set_work_program_path(d + L"\\bin\\Morvell-Uninstall.exe");
  run_uninstall();
  EXPECT_FALSE(exists(U(desktop_link)));
  EXPECT_FALSE(exists(U(menu)));
  std::wstring work = d + L"\\bin\\Morvell-Installer-Temp";
  std::string script = read_text(U(work + L"\\morv-uninstall.cmd"));
  if (!script.empty()) {   // the script may already have removed itself
    EXPECT_EQ(script, plat::removal_script_text(d, work, L""));
  }
  if (running_under_wine())
    GTEST_SKIP() << "Wine's cmd keeps a running script open, so the folder holding it cannot go; "
                    "Windows' cmd reopens the script per line (and Wine's cmd has no timeout command)";
  for (int i = 0; i < 200 && exists(U(d)); ++i) Sleep(50);
  EXPECT_FALSE(exists(U(d)));
}

TEST(Win32Uninstall, AFolderThatIsNoInstallationIsRefused) {
  ProgramPathGuard guard;
  TempDir tmp;
  write_text(tmp / "Downloads/setup.exe", "installer");
  write_text(tmp / "Downloads/holiday.jpg", "photo");
  // Planted program files, and a record of another folder: no installation either.
  write_text(tmp / "Downloads/bin/Morvell.exe", "planted");
  write_text(tmp / "Downloads/bin/Morvell-Uninstall.exe", "planted");
  write_text(tmp / "Moved/install-info.json", install_record_text(tmp.wide() + L"\\Elsewhere"));
  write_text(tmp / "Moved/bin/Morvell-Uninstall.exe", "x");
  make_shortcuts(tmp.wide() + L"\\Downloads\\setup.exe");
  for (const wchar_t* program : {L"\\Downloads\\bin\\Morvell-Uninstall.exe", L"\\Moved\\bin\\Morvell-Uninstall.exe"}) {
    set_work_program_path(tmp.wide() + program);
    run_uninstall();
  }
  EXPECT_TRUE(exists(tmp / "Moved/install-info.json"));
  EXPECT_TRUE(exists(tmp / "Downloads/bin/Morvell.exe"));
  set_work_program_path(tmp.wide() + L"\\Downloads\\setup.exe");
  run_uninstall();
  // Nothing was deleted: neither the folder, nor the shortcuts, and no script was written.
  EXPECT_EQ(read_text(tmp / "Downloads/holiday.jpg"), "photo");
  EXPECT_FALSE(exists(tmp / "Downloads/Morvell-Installer-Temp/morv-uninstall.cmd"));
  std::wstring desktop_link = plat::shell_folder(plat::kFolderDesktop) + L"\\Morvell.lnk";
  EXPECT_TRUE(exists(U(desktop_link)));
  DeleteFileW(desktop_link.c_str());
  plat::delete_tree_silently(plat::shell_folder(plat::kFolderPrograms) + L"\\Morvell");
}
