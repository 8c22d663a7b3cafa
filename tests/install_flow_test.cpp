// The Install and Uninstall buttons end to end with the real installer: offline installs from
// the window, a named package in both modes, an empty directory, and the uninstaller.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/gui_driver.h"
#include "support/helpers.h"

using namespace testing_support;


TEST(InstallWindow, OfflineInstallFromTheWindow) {
  Desk desk;
  REQUIRE_X(desk);
  std::string setup = desk.pack(kOld, "Morvell-Setup.exe");
  // A folder name with a byte that does not decode: shown with U+FFFD, installed under its own bytes.
  std::string d = desk.dir / "Programs/Morvell caf\xe9";
  Gui gui(desk, setup, {"--offline", "--install-dir", "  " + d + "/  "});
  ASSERT_TRUE(gui.wait_window());
  gui.press_action();
  ASSERT_TRUE(gui.dismiss_dialog(1));
  EXPECT_EQ(gui.wait_exit(), 0);
  EXPECT_EQ(desk.dialogs(), std::vector<std::string>{"info Morvell 安装完成"});
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.16\n");
  EXPECT_EQ(capture_shell("ls '" + desk.dir / "Programs" + "'"), "Morvell caf\xe9\n");
  EXPECT_TRUE(read_text(d + "/bin/Morvell-Uninstall.exe") == read_text(kInstaller));   // without the package
  EXPECT_TRUE(exists(d + "/install-info.json"));
  EXPECT_TRUE(exists(desk.desktop_link()));
  EXPECT_TRUE(exists(desk.menu()));
  EXPECT_FALSE(exists(desk.dir / "Morvell-Installer-Temp"));
  wait_until(30000, [&] { return desk.launches() > 0; });
  EXPECT_EQ(desk.launches(), 1u);

  // Over that installation, the newer package: Morvell is started and the finished dialog shown
  // while the previous version still waits beside it, marked as the installer's; it goes once
  // the dialog is dismissed, before the program ends.
  std::string setup2 = desk.pack(kNew, "Morvell-Setup-2.exe");
  Gui again(desk, setup2, {"--offline", "--install-dir", d}, {{"MORVELL_APP_LOOK", d + ".old"}});
  ASSERT_TRUE(again.wait_window());
  again.press_action();
  ASSERT_TRUE(wait_until(120000, [&] { return desk.dialogs().size() >= 2 || again.has_exited(); }));
  ASSERT_TRUE(wait_until(30000, [&] { return desk.launches() >= 2; }));
  const std::string line = lines_of(read_text(desk.app_log)).back();
  EXPECT_NE(line.find("version=6.1.17 dir=" + d + " look=present args="), std::string::npos) << line;
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.17\n");
  EXPECT_EQ(read_text(d + ".old/version.txt"), "6.1.16\n");
  EXPECT_TRUE(exists(d + ".old/.morvell-staging"));
  EXPECT_FALSE(exists(d + ".swap"));
  // Nobody is kept out of the installation while the dialog waits (an update Morvell starts).
  plat::FileHandle other = plat::kNoFile;
  EXPECT_EQ(plat::try_lock_file(W(d + ".lock"), other), plat::LockResult::Taken);
  plat::unlock_file(other, W(d + ".lock"));
  ASSERT_TRUE(again.dismiss_dialog(2));
  EXPECT_EQ(again.wait_exit(), 0);
  EXPECT_EQ(desk.dialogs().back(), "info Morvell 安装完成");
  EXPECT_FALSE(exists(d + ".old"));
  EXPECT_FALSE(exists(d + ".lock"));
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.17\n");
}

// An offline installer opened with a double click, no option at all: its own package, installed
// from the keyboard. The window stands in the middle of the screen; Escape closes it unused.
TEST(InstallWindow, DoubleClickedOfflineInstallerInstallsWithTheKeyboard) {
  Desk desk;
  REQUIRE_X(desk);
  std::string setup = desk.pack(kOld, "Morvell-Setup.exe");
  {
    Gui gui(desk, setup, {});
    ASSERT_TRUE(gui.wait_window());
    std::map<std::string, int> g = gui.geometry();
    EXPECT_NEAR(g["X"] + g["WIDTH"] / 2, 1280 / 2, 2);
    EXPECT_NEAR(g["Y"] + g["HEIGHT"] / 2, 1024 / 2, 2);
    gui.press_key("Escape");
    EXPECT_EQ(gui.wait_exit(), 0);
  }
  EXPECT_FALSE(exists(desk.home + "/.local/share/Programs/Morvell"));
  EXPECT_TRUE(desk.dialogs().empty());
  {
    Gui gui(desk, setup, {});
    ASSERT_TRUE(gui.wait_window());
    gui.press_key("Return");   // from the location entry, which has the focus: the action button
    ASSERT_TRUE(gui.dismiss_dialog(1));
    EXPECT_EQ(gui.wait_exit(), 0);
  }
  EXPECT_EQ(desk.dialogs(), std::vector<std::string>{"info Morvell 安装完成"});
  EXPECT_EQ(read_text(desk.home + "/.local/share/Programs/Morvell/version.txt"), "6.1.16\n");
}

TEST(InstallWindow, EmptyDirectoryIsRefusedAndTheWindowStays) {
  Desk desk;
  REQUIRE_X(desk);
  std::string setup = desk.pack(kOld, "Morvell-Setup.exe");
  Gui gui(desk, setup, {"--offline", "--install-dir", "   "});
  ASSERT_TRUE(gui.wait_window());
  gui.press_action();
  ASSERT_TRUE(gui.dismiss_dialog(1));
  plat::sleep_ms(300);
  EXPECT_FALSE(gui.has_exited());
  EXPECT_EQ(desk.dialogs(), std::vector<std::string>{"error 请选择安装目录。"});
  EXPECT_FALSE(exists(desk.dir / "Morvell-Installer-Temp"));
  gui.press_cancel();
  EXPECT_EQ(gui.wait_exit(), 0);

  // A folder of the user's (as "浏览" may pick one): refused the same way, not a byte touched.
  const std::string documents = desk.dir / "Documents";
  write_text(documents + "/thesis.txt", "years of work");
  write_text(documents + ".old/draft.txt", "an older draft");
  const auto before = snapshot_tree(desk.dir.path());
  Gui again(desk, setup, {"--offline", "--install-dir", documents});
  ASSERT_TRUE(again.wait_window());
  again.press_action();
  ASSERT_TRUE(again.dismiss_dialog(2));
  EXPECT_FALSE(again.has_exited());
  EXPECT_EQ(desk.dialogs().back(), "error 所选安装位置已存在且不是 Morvell 安装目录，请选择空文件夹或原安装目录。");
  again.press_cancel();
  EXPECT_EQ(again.wait_exit(), 0);
  EXPECT_TRUE(snapshot_tree(desk.dir.path()) == before);
}

TEST(InstallWindow, NamedPackageInBothModesIsInstalledAndKept) {
  Desk desk;
  REQUIRE_X(desk);
  std::string package = desk.dir / "downloads/Morvell-6.1.17.zip";
  ASSERT_EQ(run_shell("mkdir -p '" + desk.dir.path() + "/downloads' && cp '" + kNew + "' '" + package + "'"), 0);
  // Offline mode: the named package beats the carried one, which is never copied out.
  std::string setup = desk.pack(kOld, "Morvell-Setup.exe");
  std::string d = desk.dir / "A";
  {
    Gui gui(desk, setup, {"--offline", "--no-launch", "--package", package, "--install-dir", d});
    ASSERT_TRUE(gui.wait_window());
    gui.press_action();
    ASSERT_TRUE(gui.dismiss_dialog(1));
    EXPECT_EQ(gui.wait_exit(), 0);
  }
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.17\n");
  EXPECT_TRUE(read_text(package) == read_text(kNew));
  EXPECT_FALSE(exists(desk.dir / "Morvell-Installer-Temp"));
  // Online mode (no update server answers): the version list is ignored. The installer runs
  // from a folder of its own so that its work directory is nobody else's.
  std::string e = desk.dir / "B";
  std::string online = desk.dir / "online/morvell-installer";
  ASSERT_EQ(run_shell("mkdir -p '" + desk.dir.path() + "/online' && cp '" + kLoopback + "' '" + online + "'"), 0);
  {
    Gui gui(desk, online, {"--no-launch", "--package", package, "--install-dir", e});
    ASSERT_TRUE(gui.wait_window());
    gui.press_action();
    ASSERT_TRUE(gui.dismiss_dialog(2));
    EXPECT_EQ(gui.wait_exit(), 0);
  }
  EXPECT_EQ(read_text(e + "/version.txt"), "6.1.17\n");
  EXPECT_TRUE(read_text(package) == read_text(kNew));
  EXPECT_FALSE(exists(desk.dir / "online/Morvell-Installer-Temp"));
  EXPECT_EQ(desk.dialogs(), (std::vector<std::string>{"info Morvell 安装完成", "info Morvell 安装完成"}));
  // A named package that does not exist.
  {
    Gui gui(desk, setup, {"--offline", "--package", desk.dir / "missing.zip", "--install-dir", d});
    ASSERT_TRUE(gui.wait_window());
    gui.press_action();
    ASSERT_TRUE(gui.dismiss_dialog(3));
    gui.press_cancel();
    EXPECT_EQ(gui.wait_exit(), 0);
  }
  EXPECT_EQ(desk.dialogs().back(), "error 更新包不存在。");
  EXPECT_EQ(desk.launches(), 0u);
}

TEST(UninstallWindow, RemovesTheInstallationAndItsShortcuts) {
  Desk desk;
  REQUIRE_X(desk);
  std::string setup = desk.pack(kOld, "Morvell-Setup.exe");
  std::string d = desk.dir / "Programs/Morvell";
  ASSERT_EQ(run_shell("env -u DISPLAY HOME='" + desk.home + "' '" + setup + "' --silent-install --no-launch --install-dir '" +
                      d + "'"),
            0);
  ASSERT_TRUE(exists(desk.desktop_link()));
  ASSERT_TRUE(exists(desk.menu()));
  // The uninstaller an offline installer wrote is its program part, and it does the whole job.
  ASSERT_TRUE(read_text(d + "/bin/Morvell-Uninstall.exe") == read_text(kInstaller));
  Gui gui(desk, d + "/bin/Morvell-Uninstall.exe", {});
  ASSERT_TRUE(gui.wait_window());
  gui.press_action();
  EXPECT_EQ(gui.wait_exit(), 0);
  EXPECT_FALSE(exists(desk.desktop_link()));
  EXPECT_FALSE(exists(desk.menu()));
  wait_until(30000, [&] { return !exists(d); });   // the uninstall script outlives the program
  EXPECT_FALSE(exists(d));
  EXPECT_TRUE(is_dir(desk.dir / "Programs"));
  EXPECT_TRUE(desk.dialogs().empty());
}

TEST(UninstallWindow, RefusesAFolderThatIsNotAnInstallation) {
  Desk desk;
  REQUIRE_X(desk);
  std::string downloads = desk.dir / "Downloads";
  write_text(downloads + "/holiday.jpg", "photo");
  write_text(downloads + "/bin/Morvell.exe", "0123456789");   // planted: no installation for all that
  std::string setup = desk.pack(kOld, "Downloads/Morvell-Setup.exe");
  write_text(desk.desktop_link(), "[Desktop Entry]\n");
  auto before = snapshot_tree(desk.dir.path());
  Gui gui(desk, setup, {"--uninstall"});
  ASSERT_TRUE(gui.wait_window());
  gui.press_action();
  ASSERT_TRUE(gui.dismiss_dialog(1));
  plat::sleep_ms(300);
  EXPECT_FALSE(gui.has_exited());
  EXPECT_EQ(desk.dialogs(), std::vector<std::string>{"error 无法识别安装目录，卸载已取消。"});
  gui.press_cancel();
  EXPECT_EQ(gui.wait_exit(), 0);
  plat::sleep_ms(2500);
  EXPECT_TRUE(snapshot_tree(desk.dir.path()) == before);
}
