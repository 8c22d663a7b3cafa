// The uninstaller: the removal script that it leaves behind (its text, and that no character of
// a path can change what it does), and which directories it accepts as an installation.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "flows/uninstall.h"
#include "install/record.h"
#include "install/rollback.h"
#include "install/shortcut.h"
#include "package/workdir.h"
#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

// Paths here hold quotes, so no shell is used to make them.
static void put(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

TEST(RemovalScript, TextWaitsRemovesInstallationThenWorkDirectory) {
  EXPECT_EQ(std::wstring(plat::kRemovalScriptName), L"morv-uninstall.sh");
  EXPECT_EQ(plat::removal_script_text(L"/opt/Morvell", L"/opt/Morvell/bin/Morvell-Installer-Temp", L".m1"),
            "#!/bin/sh\n"
            "sleep 2\n"
            "if command -v flock >/dev/null 2>&1; then\n"
            "  exec 9>>'/opt/Morvell.lock' || exit 0\n"
            "  flock -n 9 || exit 0\n"
            "  unlock() { rm -f -- '/opt/Morvell.lock'; }\n"
            "else\n"
            "  unlock() { :; }\n"
            "fi\n"
            "[ -f '/opt/Morvell/.m1' ] || { unlock; exit 0; }\n"
            "rm -rf -- '/opt/Morvell'\n"
            "unlock\n"
            "cd \"${TMPDIR:-/tmp}\" 2>/dev/null || cd /tmp\n"
            "rm -rf -- '/opt/Morvell/bin/Morvell-Installer-Temp'\n");
  const std::string quoted = plat::removal_script_text(L"/a'b", L"/w", L".m");
  EXPECT_NE(quoted.find("rm -rf -- '/a'\\''b'\n"), std::string::npos);
  EXPECT_NE(quoted.find("[ -f '/a'\\''b/.m' ]"), std::string::npos);
}

TEST(RemovalScript, HostilePathsAreRemovedExactlyAndNothingElse) {
  TempDir dir;
  // Quotes, $, backticks, a command separator, a newline, a leading dash and Chinese text.
  const std::string name = "-安装 'it' \"q\" $HOME `touch pwned` ; touch pwned2\nline";
  const std::string install = dir / name;
  const std::string work = install + "/bin/Morvell-Installer-Temp";
  put(install + "/bin/Morvell.exe", "app");
  put(work + "/morv-uninstall.sh", "");
  put(dir / "-安装 'it' \"q\" sibling/keep.txt", "keep");
  put(dir / "tmp/keep.txt", "keep");
  std::string script = dir / "run/morv-uninstall.sh";
  put(install + "/.mark", "");
  put(script, plat::removal_script_text(W(install), W(work), L".mark"));

  std::string old_tmp = plat::environment_value("TMPDIR");
  setenv("TMPDIR", (dir / "tmp").c_str(), 1);
  uint32_t start = plat::tick_ms();
  ASSERT_TRUE(plat::run_script_detached(W(script), W(install), W(work), L".mark"));
  EXPECT_LT(plat::tick_ms() - start, 1500u);   // not awaited: it sleeps 2 s first
  if (old_tmp.empty())
    unsetenv("TMPDIR");
  else
    setenv("TMPDIR", old_tmp.c_str(), 1);
  EXPECT_TRUE(exists(install));   // still within its 2 s wait
  // The lock file goes a moment after the installation: the script is done once both are gone.
  EXPECT_TRUE(wait_until(10000, [&] { return !exists(install) && !exists(install + ".lock"); }));
  EXPECT_FALSE(exists(install));
  EXPECT_TRUE(exists(dir / "-安装 'it' \"q\" sibling/keep.txt"));
  EXPECT_TRUE(exists(dir / "tmp/keep.txt"));
  EXPECT_FALSE(exists(install + ".lock"));
  EXPECT_FALSE(exists("pwned"));
  EXPECT_FALSE(exists("pwned2"));
  EXPECT_FALSE(exists(dir / "pwned"));
}

// Whether a process runs the script at `path` (its command line names it).
static bool script_running(const std::string& path) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::string command((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (command.find(path) != std::string::npos) return true;
  }
  return false;
}

// run_uninstall in this process, with the program placed by the work-directory seam and a
// private home for the shortcuts; without a display its dialogs show nothing.
namespace {
struct UninstallSandbox {
  TempDir dir;
  std::string home = dir / "home";
  std::string desktop_link = home + "/Desktop/Morvell" + U(plat::kShortcutExtension);
  std::string menu = home + "/.local/share/applications/Morvell";
  std::string saved_home = plat::environment_value("HOME");
  std::string saved_data = plat::environment_value("XDG_DATA_HOME");
  std::string saved_config = plat::environment_value("XDG_CONFIG_HOME");
  UninstallSandbox() {
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
    put(desktop_link, "[Desktop Entry]\n");
    put(menu + "/Morvell" + U(plat::kShortcutExtension), "[Desktop Entry]\n");
  }
  // The shortcuts an install of the installation at `d` makes.
  void shortcuts_for(const std::string& d) const { create_installation_shortcuts(W(d), true, true); }
  ~UninstallSandbox() {
    set_work_program_path(L"");
    restore("HOME", saved_home);
    restore("XDG_DATA_HOME", saved_data);
    restore("XDG_CONFIG_HOME", saved_config);
  }
  static void restore(const char* name, const std::string& value) {
    if (value.empty())
      unsetenv(name);
    else
      setenv(name, value.c_str(), 1);
  }
};
}  // namespace

TEST(Uninstall, RemovesShortcutsAtOnceAndTheInstallationAfterwards) {
  UninstallSandbox box;
  const std::string d = box.dir / "Apps/Morvell";
  put(d + "/bin/Morvell.exe", "app");
  put(d + "/install-info.json", install_record_text(W(d)));
  put(d + "/config/settings.ini", "mine");
  put(box.dir / "Apps/neighbour.txt", "keep");
  set_work_program_path(W(d + "/bin/Morvell-Uninstall.exe"));
  box.shortcuts_for(d);
  run_uninstall();
  EXPECT_FALSE(exists(box.desktop_link));
  EXPECT_FALSE(exists(box.menu));
  EXPECT_TRUE(exists(d + "/bin/Morvell-Installer-Temp/morv-uninstall.sh"));
  EXPECT_TRUE(wait_until(10000, [&] { return !exists(d); }));
  EXPECT_TRUE(exists(box.dir / "Apps/neighbour.txt"));

  // Shortcuts that start another installation, made later at another place, are not this one's.
  const std::string later = box.dir / "Apps/Morvell Later";
  put(later + "/bin/Morvell.exe", "app");
  box.shortcuts_for(later);
  put(d + "/bin/Morvell.exe", "app");
  put(d + "/install-info.json", install_record_text(W(d)));
  const auto shortcuts = snapshot_tree(box.home);
  run_uninstall();
  EXPECT_EQ(snapshot_tree(box.home), shortcuts);
  EXPECT_TRUE(wait_until(10000, [&] { return !exists(d); }));

  // Installed again right after the uninstall, before its script ran: the new installation is
  // not the one the script was started for, and it stays whole.
  put(d + "/bin/Morvell.exe", "app");
  put(d + "/install-info.json", install_record_text(W(d)));
  run_uninstall();
  const std::string script = d + "/bin/Morvell-Installer-Temp/morv-uninstall.sh";
  ASSERT_TRUE(wait_until(10000, [&] { return script_running(script); }));   // within its 2 s wait
  ASSERT_EQ(run_shell("mv '" + d + "' '" + d + ".old' && mkdir -p '" + d + "/bin' && echo new > '" + d +
                      "/bin/Morvell.exe'"), 0);
  const auto reinstalled = snapshot_tree(d);
  EXPECT_TRUE(wait_until(10000, [&] { return !script_running(script); }));
  EXPECT_EQ(snapshot_tree(d), reinstalled);
  EXPECT_FALSE(exists(d + ".lock"));

  // An update killed while its record stood in the rollback area: the area proves the
  // installation, the uninstall settles it and removes it.
  ASSERT_EQ(run_shell("rm -rf '" + d + "' '" + d + ".old'"), 0);
  put(d + "/bin/Morvell.exe", "app");
  put(d + "/install-info.json", install_record_text(W(d)));
  {
    UpdateRollback rollback(W(d));
    ASSERT_TRUE(rollback.open());
    ASSERT_TRUE(rollback.move_aside("install-info.json"));
  }
  run_uninstall();
  EXPECT_TRUE(wait_until(10000, [&] { return !exists(d); }));

  // "Bin" counts like "bin"; the record may name the folder by another way there.
  const std::string e = box.dir / "Other";
  put(e + "/install-info.json", install_record_text(W(box.dir / "./Apps/../Other")));
  put(e + "/Bin/Morvell-Uninstall.exe", "x");
  set_work_program_path(W(e + "/Bin/Morvell-Uninstall.exe"));
  run_uninstall();
  for (int i = 0; i < 200 && exists(e); ++i) plat::sleep_ms(50);
  EXPECT_FALSE(exists(e));
}

TEST(Uninstall, RefusesWhatIsNotAnInstallation) {
  UninstallSandbox box;
  // A downloads folder holding the installer: refused, nothing deleted, no work directory.
  const std::string downloads = box.dir / "Downloads";
  put(downloads + "/Morvell-Setup.exe", "setup");
  put(downloads + "/holiday.jpg", "photo");
  // BIN in capitals is not the bin directory: D/BIN itself would be the installation.
  const std::string d = box.dir / "Morvell";
  put(d + "/bin/Morvell.exe", "app");
  put(d + "/BIN/Morvell-Uninstall.exe", "x");
  // Planted program files without a record, or with a record of another folder (a moved or
  // copied installation), or a broken one: refused.
  put(downloads + "/bin/Morvell.exe", "planted, ten bytes");
  const std::string local = box.home + "/.local";
  put(local + "/bin/Morvell.exe", "app");
  put(local + "/bin/Morvell-Uninstall.exe", "x");
  put(local + "/share/notes.txt", "the user's");
  const std::string moved = box.dir / "Moved";
  put(moved + "/install-info.json", install_record_text(W(box.dir / "Apps/Morvell")));
  put(moved + "/bin/Morvell-Uninstall.exe", "x");
  const std::string broken = box.dir / "Broken";
  put(broken + "/install-info.json", "{\"install_dir\": ");
  put(broken + "/bin/Morvell-Uninstall.exe", "x");
  // The user's own folders, whatever record they hold.
  const std::string desktop = box.home + "/Desktop";
  for (const std::string& own : {box.home, desktop, local}) {
    put(own + "/install-info.json", install_record_text(W(own)));
    put(own + "/bin/Morvell-Uninstall.exe", "x");
  }
  const std::wstring programs[] = {
      W(downloads + "/Morvell-Setup.exe"),
      W(downloads + "/bin/Morvell-Uninstall.exe"),
      W(local + "/bin/Morvell-Uninstall.exe"),
      W(moved + "/bin/Morvell-Uninstall.exe"),
      W(broken + "/bin/Morvell-Uninstall.exe"),
      W(box.home + "/bin/Morvell-Uninstall.exe"),
      W(desktop + "/bin/Morvell-Uninstall.exe"),
      W(d + "/BIN/Morvell-Uninstall.exe"),
      L"/ab/bin/Morvell-Uninstall.exe",   // a root-like installation of three characters
      L"/bin/Morvell-Uninstall.exe",      // the root itself
      L"Morvell-Uninstall.exe",           // no directory at all: "."
  };
  auto before = snapshot_tree(box.dir.path());
  for (const std::wstring& program : programs) {
    set_work_program_path(program);
    run_uninstall();
    EXPECT_TRUE(snapshot_tree(box.dir.path()) == before) << U(program);
  }
  // An installation that another run holds: refused after a few seconds' wait, nothing deleted.
  const std::string held_dir = box.dir / "Held";
  put(held_dir + "/install-info.json", install_record_text(W(held_dir)));
  put(held_dir + "/bin/Morvell-Uninstall.exe", "x");
  before = snapshot_tree(box.dir.path());
  plat::FileHandle held = plat::kNoFile;
  ASSERT_EQ(plat::try_lock_file(W(held_dir + ".lock"), held), plat::LockResult::Taken);
  set_work_program_path(W(held_dir + "/bin/Morvell-Uninstall.exe"));
  run_uninstall();
  plat::unlock_file(held, W(held_dir + ".lock"));
  EXPECT_TRUE(snapshot_tree(box.dir.path()) == before);
  EXPECT_TRUE(exists(box.desktop_link));
  EXPECT_FALSE(exists("Morvell-Installer-Temp"));
  EXPECT_FALSE(exists("/bin/Morvell-Installer-Temp"));
  plat::sleep_ms(2500);   // a wrongly started script would have struck by now
  EXPECT_TRUE(snapshot_tree(box.dir.path()) == before);
}
