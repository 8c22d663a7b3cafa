// The installer's window from the keyboard on Windows, driven through window messages: an
// offline installer opened with a double click, Enter and Escape, the focus after a message, and
// where the window and its messages stand. (Tab through the release notes: window_test.cpp.)
#include <gtest/gtest.h>
#include <windows.h>

#include <utility>

#include "app/installer_window_win32.h"
#include "common/strings.h"
#include "platform/platform.h"
#include "support/app_entries.h"
#include "support/helpers.h"
#include "support/installer_runs.h"
#include "support/window_driver.h"
#include "support/zip_writer.h"

using namespace testing_support;

namespace {

const std::wstring kInstallTitle = L"Morvell 安装器";

std::pair<long, long> centre(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  return std::make_pair((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

}  // namespace

// An offline installer opened with a double click: the offline window, centred on the screen,
// driven from the keyboard. Escape closes it unused; Enter in
// the location entry presses Install: the refusal of an empty location comes centred on the
// window and gives the focus back to the entry, then the carried package installs.
TEST(Win32Keyboard, ADoubleClickedOfflineInstallerFromTheKeyboard) {
  const std::string no_window = no_window_reason();
  if (!no_window.empty()) GTEST_SKIP() << no_window;
  TempDir tmp;
  ASSERT_TRUE(write_zip(tmp / "pkg.zip", {{"bin/Morvell.exe", "app"}}));
  const std::wstring setup = tmp.wide() + L"\\setup\\Morvell-Setup.exe";
  write_text(U(setup), offline_installer(read_text(tmp / "pkg.zip")));
  const std::wstring d = tmp.wide() + L"\\Programs\\Morvell";
  {
    InstallerRun run(setup, L"--install-dir " + plat::quote_argument(d));
    ASSERT_TRUE(run.wait_window(kInstallTitle)) << "exit code " << run.wait_exit(0);
    EXPECT_EQ(run.control(kDescriptionId).text, L"离线安装器已包含绿色版程序包。");
    RECT area{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    const auto [x, y] = centre(run.window());
    EXPECT_NEAR(x, (area.left + area.right) / 2, 2);
    EXPECT_NEAR(y, (area.top + area.bottom) / 2, 2);
    ASSERT_TRUE(run.wait_focus(kLocationId));
    ASSERT_TRUE(run.key(kLocationId, VK_ESCAPE));
    EXPECT_EQ(run.wait_exit(), 0);
  }
  EXPECT_FALSE(exists(U(d)));
  {
    InstallerRun run(setup, L"--no-launch --no-desktop-shortcut --no-start-menu-shortcut --install-dir \"  \"");
    ASSERT_TRUE(run.wait_window(kInstallTitle));
    ASSERT_TRUE(run.wait_focus(kLocationId));
    ASSERT_TRUE(run.key(kLocationId, VK_RETURN));
    EXPECT_EQ(run.wait_message_box(), L"请选择安装目录。");
    EXPECT_EQ(centre(find_message_box(run.pid(), run.window())), centre(run.window()));
    ASSERT_TRUE(run.dismiss_message_box());
    EXPECT_TRUE(run.wait_focus(kLocationId));
    ASSERT_TRUE(ask(run.control(kLocationId).handle, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(d.c_str()), 5000));
    ASSERT_TRUE(run.key(kLocationId, VK_RETURN));
    EXPECT_EQ(run.wait_message_box(), L"Morvell 安装完成");
    ASSERT_TRUE(run.dismiss_message_box());
    EXPECT_EQ(run.wait_exit(), 0);
  }
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), "app");
  EXPECT_EQ(app_entries_at(d).size(), 1u);
}
