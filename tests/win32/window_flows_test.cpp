// The offline install, the update run and the uninstall through the real installer's Win32
// window under Wine: the program is driven by its window messages as a user's clicks would, and
// the disk is checked afterwards.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>

#include "app/installer_window_win32.h"
#include "common/strings.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/window_driver.h"
#include "support/wine.h"
#include "support/zip_writer.h"

using namespace testing_support;

namespace {

// morvell-installer.exe lies two folders above this test program in the build tree.
std::wstring installer_path() {
  std::wstring self = W(self_path());
  return parent_path(parent_path(parent_path(self))) + L"\\morvell-installer.exe";
}

// The installer followed by the zip and the trailer "MORV-PACKAGE:<offset>:<length>".
std::string offline_installer(const std::string& zip_bytes) {
  std::string exe = read_text(U(installer_path()));
  return exe + zip_bytes + "MORV-PACKAGE:" + std::to_string(exe.size()) + ":" + std::to_string(zip_bytes.size());
}

std::vector<std::wstring> texts_of(const std::vector<Control>& controls) {
  std::vector<std::wstring> texts;
  for (const Control& c : controls) texts.push_back(c.text);
  return texts;
}

int count_lines(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// The application: this test program, which stays up when started with "--fake-app linger" and
// logs every start (with its pid) to MORVELL_FAKE_APP_LOG.
struct AppLog {
  std::string path;
  explicit AppLog(const std::string& file) : path(file) { SetEnvironmentVariableW(L"MORVELL_FAKE_APP_LOG", W(file).c_str()); }
  ~AppLog() { SetEnvironmentVariableW(L"MORVELL_FAKE_APP_LOG", nullptr); }
};

}  // namespace

TEST(Win32WindowFlows, OfflineInstallUpdateAndUninstallThroughTheWindow) {
  if (std::getenv("DISPLAY") == nullptr && running_under_wine())
    GTEST_SKIP() << "no X display for Wine: scripts/test-windows starts a private Xvfb";
  TempDir tmp;
  AppLog app_log(tmp / "app.log");
  const std::string app = read_text(self_path());
  ASSERT_TRUE(write_zip(tmp / "pkg.zip", {{"bin/Morvell.exe", app}, {"config/settings.ini", "shipped"}}));
  const std::wstring setup = tmp.wide() + L"\\setup\\Morvell-Setup.exe";
  write_text(U(setup), offline_installer(read_text(tmp / "pkg.zip")));
  const std::wstring d = tmp.wide() + L"\\Programs\\\u5B89\u88C5 Morvell";
  const std::wstring desktop_link = plat::shell_folder(plat::kFolderDesktop) + L"\\Morvell.lnk";
  const std::wstring menu = plat::shell_folder(plat::kFolderPrograms) + L"\\Morvell";
  DeleteFileW(desktop_link.c_str());

  {  // The offline window: the user ticks the desktop shortcut again, then installs.
    InstallerRun run(setup, L"--offline --no-launch --no-desktop-shortcut --install-dir " + quote_argument(d));
    ASSERT_TRUE(run.wait_window(L"Morvell 安装器")) << "no window";
    EXPECT_EQ(run.control(kDescriptionId).text, L"离线安装器已包含绿色版程序包。");
    EXPECT_EQ(run.control(kLocationId).text, d);
    EXPECT_EQ(run.control(kDesktopCheckId).checked, BST_UNCHECKED);
    EXPECT_EQ(run.control(kLaunchCheckId).checked, BST_UNCHECKED);
    ASSERT_TRUE(run.press(kDesktopCheckId));
    ASSERT_TRUE(run.wait_control(kDesktopCheckId, [](const Control& c) { return c.checked == BST_CHECKED; }, 10000));
    ASSERT_TRUE(run.press(kActionId));
    EXPECT_EQ(run.wait_message_box(), L"Morvell 安装完成");
    ASSERT_TRUE(run.dismiss_message_box());
    EXPECT_EQ(run.wait_exit(), 0);
  }
  EXPECT_TRUE(read_text(U(d + L"\\bin\\Morvell.exe")) == app);
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "shipped");
  EXPECT_TRUE(exists(U(d + L"\\install-info.json")));
  EXPECT_TRUE(exists(U(d + L"\\bin\\Morvell-Uninstall.exe")));
  EXPECT_TRUE(exists(U(desktop_link)));
  EXPECT_TRUE(exists(U(menu + L"\\Morvell.lnk")));
  EXPECT_FALSE(exists(tmp / "app.log"));   // --no-launch: nothing was started

  // The update run, started as the application starts it, with a copy of the application
  // running: busy from the start, that copy closed, the configuration kept, the new files
  // written, the application started again and exit code 0.
  write_text(U(d + L"\\config\\settings.ini"), "the user's");
  plat::ProcessHandle running = plat::kNoProcess;
  ASSERT_TRUE(plat::start_process(d + L"\\bin\\Morvell.exe", L"--fake-app linger", false, running));
  ASSERT_TRUE(wait_until(30000, [&] { return count_lines(read_text(tmp / "app.log")) == 1; }));
  ASSERT_TRUE(write_zip(tmp / "downloads/update.zip",
                        {{"bin/Morvell.exe", app}, {"config/settings.ini", "shipped 2"}, {"new.txt", "new"}}));
  {
    InstallerRun run(setup, L"--update --package " + quote_argument(tmp.wide() + L"\\downloads\\update.zip") +
                                L" --install-dir " + quote_argument(d));
    ASSERT_TRUE(run.wait_window(L"Morvell 更新器")) << "no window";
    const std::vector<Control> controls = run.controls();
    EXPECT_EQ(texts_of(controls).front(), L"更新 Morvell");
    EXPECT_FALSE(run.control(kActionId).enabled);
    EXPECT_FALSE(run.control(kCancelId).enabled);
    EXPECT_EQ(run.control(kLocationId).handle, nullptr);
    // Closing is refused while the update runs (sent, so it has been handled when it returns).
    EXPECT_TRUE(ask(run.window(), WM_CLOSE, 0, 0, 5000));
    EXPECT_TRUE(IsWindow(run.window()));
    EXPECT_EQ(run.wait_exit(120000), 0);
  }
  uint32_t code = 0;
  EXPECT_EQ(plat::wait_process(running, 10000, code), plat::WaitResult::Exited);   // the running copy was closed
  plat::close_process(running);
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "the user's");
  EXPECT_EQ(read_text(U(d + L"\\new.txt")), "new");
  EXPECT_FALSE(exists(tmp / "downloads/update.zip"));   // consumed
  // The updated application was started again (it logs its start and ends at once).
  EXPECT_TRUE(wait_until(30000, [&] { return count_lines(read_text(tmp / "app.log")) == 2; }))
      << read_text(tmp / "app.log");

  {  // A package that is not there: the error dialog, exit code 4, the installation as it was.
    InstallerRun run(setup, L"--update --package " + quote_argument(tmp.wide() + L"\\downloads\\none.zip") +
                                L" --install-dir " + quote_argument(d));
    ASSERT_TRUE(run.wait_window(L"Morvell 更新器")) << "no window";
    EXPECT_FALSE(run.wait_message_box().empty());
    ASSERT_TRUE(run.dismiss_message_box());
    EXPECT_EQ(run.wait_exit(), 4);
  }
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "the user's");

  {  // The uninstaller: no location, no choices; the shortcuts go and the removal script starts.
    InstallerRun run(d + L"\\bin\\Morvell-Uninstall.exe", L"--uninstall");
    ASSERT_TRUE(run.wait_window(L"Morvell 安装器")) << "no window";
    EXPECT_EQ(run.control(kTitleId).text, L"卸载 Morvell");
    EXPECT_EQ(run.control(kDescriptionId).text, L"将移除当前安装目录和快捷方式。");
    EXPECT_EQ(run.control(kLocationId).handle, nullptr);
    EXPECT_EQ(run.control(kDesktopCheckId).handle, nullptr);
    EXPECT_EQ(run.control(kActionId).text, L"卸载");
    ASSERT_TRUE(run.press(kActionId));
    EXPECT_EQ(run.wait_exit(), 0);
  }
  EXPECT_FALSE(exists(U(desktop_link)));
  EXPECT_FALSE(exists(U(menu)));
}

TEST(Win32WindowFlows, TheUninstallWindowLeavesTheRemovalToItsScript) {
  if (running_under_wine())
    GTEST_SKIP() << "Wine's cmd keeps a running script open, so the folder holding it cannot go";
  TempDir tmp;
  ASSERT_TRUE(write_zip(tmp / "pkg.zip", {{"bin/Morvell.exe", "app"}, {"config/settings.ini", "shipped"}}));
  const std::wstring setup = tmp.wide() + L"\\Morvell-Setup.exe";
  write_text(U(setup), offline_installer(read_text(tmp / "pkg.zip")));
  const std::wstring d = tmp.wide() + L"\\Morvell";
  InstallerRun install(setup, L"--silent-install --no-launch --no-desktop-shortcut --no-start-menu-shortcut "
                              L"--install-dir " + quote_argument(d));
  ASSERT_EQ(install.wait_exit(), 0);
  InstallerRun run(d + L"\\bin\\Morvell-Uninstall.exe", L"--uninstall");
  ASSERT_TRUE(run.wait_window(L"Morvell 安装器")) << "no window";
  ASSERT_TRUE(run.press(kActionId));
  EXPECT_EQ(run.wait_exit(), 0);
  EXPECT_TRUE(wait_until(30000, [&] { return !exists(U(d)); }));
}
