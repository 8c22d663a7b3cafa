// The real installer's window on Windows, driven through window messages: each run mode's
// controls and texts in the window's order, an online install from the loopback HTTPS update
// server, the window answering within 100 ms while a download and a digest check run, and the
// offline install, the update run and the uninstall as a user's clicks would drive them.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <optional>

#include "app/installer_window_win32.h"
#include "catalogue/messages.h"
#include "common/strings.h"
#include "install/messages.h"
#include "install/record.h"
#include "package/verify.h"
#include "platform/platform.h"
#include "support/app_entries.h"
#include "support/helpers.h"
#include "support/installer_runs.h"
#include "support/shell_links.h"
#include "support/test_authority.h"
#include "support/window_driver.h"
#include "support/wine.h"
#include "support/zip_writer.h"

using namespace testing_support;

namespace {

const std::wstring kInstallTitle = L"Morvell 安装器";
const std::wstring kUpdateTitle = L"Morvell 更新器";
const std::optional<std::wstring> kAnyText;

#define SKIP_WITHOUT_WINDOW()                                         \
  do {                                                                \
    const std::string reason = no_window_reason();                   \
    if (!reason.empty()) GTEST_SKIP() << reason;                      \
  } while (0)

struct Expected {
  int id;
  std::wstring class_name;
  std::optional<std::wstring> text;   // kAnyText: a text that changes as the run goes on
};

std::wstring lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// The window's children are exactly `expected`, in that order, all shown; the rows go down the
// window and the action button is the rightmost control, beside Cancel.
void expect_controls(const std::vector<Control>& controls, const std::vector<Expected>& expected) {
  ASSERT_EQ(controls.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Control& c = controls[i];
    EXPECT_EQ(c.id, expected[i].id) << "control " << i;
    EXPECT_EQ(lower(c.class_name), lower(expected[i].class_name)) << "control " << c.id;
    if (expected[i].text) {
      EXPECT_EQ(U(c.text), U(*expected[i].text)) << "control " << c.id;
    }
    EXPECT_TRUE(c.visible) << "control " << c.id;
    EXPECT_LT(c.rect.left, c.rect.right) << "control " << c.id;
    EXPECT_LT(c.rect.top, c.rect.bottom) << "control " << c.id;
    if (i > 0) {   // below the one before, or on its row to its right
      const RECT& before = controls[i - 1].rect;
      EXPECT_TRUE(c.rect.top >= before.top || (c.rect.top < before.bottom && c.rect.left >= before.right))
          << "control " << c.id << " stands above and left of the control before it";
    }
  }
  const Control& action = controls.back();
  const Control& cancel = controls[controls.size() - 2];
  EXPECT_EQ(action.rect.top, cancel.rect.top);
  EXPECT_LT(cancel.rect.right, action.rect.left);
  for (const Control& c : controls) EXPECT_LE(c.rect.right, action.rect.right) << "control " << c.id;
}

// The controls every mode ends with.
std::vector<Expected> with_bottom_rows(std::vector<Expected> rows, const std::optional<std::wstring>& status,
                                       const std::wstring& action) {
  rows.push_back({1013, PROGRESS_CLASSW, L""});
  rows.push_back({1014, L"Static", status});
  rows.push_back({1015, L"Button", L"取消"});
  rows.push_back({1016, L"Button", action});
  return rows;
}

std::vector<Expected> location_rows(const std::wstring& dir) {
  return {{1007, L"Static", L"安装位置："},
          {1008, L"Edit", dir},
          {1009, L"Button", L"浏览"},
          {1010, L"Button", L"创建桌面快捷方式"},
          {1011, L"Button", L"创建开始菜单快捷方式"},
          {1012, L"Button", L"安装完成后启动 Morvell"}};
}

// A multi-line edit shows line breaks as CR LF.
std::wstring as_shown(const std::string& text) {
  std::wstring shown;
  for (wchar_t c : W(text)) {
    if (c == L'\n') shown += L'\r';
    shown += c;
  }
  return shown;
}

// The loopback update server as the installer sees it: a folder of the server's document root,
// reached by name (Wine checks the certificate's DNS names only).
struct UpdateServer {
  std::string base;   // what the installer copy is built with
  std::string root;   // where the test writes the served files
  std::string skip;   // why there is none
  explicit UpdateServer(const std::string& folder) {
    const char* docroot = std::getenv("MORVELL_TEST_HTTPS_ROOT");
    if (https_test_port().empty() || !docroot || !*docroot) {
      skip = "no loopback HTTPS server (scripts/test-windows starts one)";
      return;
    }
    if (!trust_test_authority()) skip = "the test certificate authority could not be trusted";
    base = "https://localhost:" + https_test_port() + "/" + folder;
    root = std::string(docroot) + "\\" + folder;
  }
  std::string url(const std::string& path) const { return base + "/" + path; }
  void serve(const std::string& path, const std::string& bytes) const { write_text(root + "/" + path, bytes); }
};

std::string digest_of(const std::string& path) {
  std::string digest;
  EXPECT_TRUE(sha256_file_hex(W(path), digest));
  return digest;
}

std::string release(const std::string& version, const std::string& url, const std::string& sha256,
                    const std::string& notes) {
  return "{\"version\": \"" + version + "\", \"file_name\": \"Morvell-" + version + ".zip\", \"download_url\": \"" + url +
         "\", \"sha256\": \"" + sha256 + "\", \"kind\": \"portable\", \"release_notes\": \"" + notes + "\"}";
}

// The shortcuts an install makes, in the prefix's shell folders.
struct Shortcuts {
  std::wstring desktop = plat::shell_folder(plat::kFolderDesktop) + L"\\Morvell.lnk";
  std::wstring menu = plat::shell_folder(plat::kFolderPrograms) + L"\\Morvell";
  Shortcuts() { clear(); }
  ~Shortcuts() { clear(); }
  void clear() const {
    DeleteFileW(desktop.c_str());
    DeleteFileW((menu + L"\\Morvell.lnk").c_str());
    DeleteFileW((menu + L"\\卸载 Morvell.lnk").c_str());
    RemoveDirectoryW(menu.c_str());
  }
};

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

TEST(Win32Window, EachModeShowsItsControlsInOrder) {
  SKIP_WITHOUT_WINDOW();
  TempDir tmp;
  ASSERT_TRUE(write_zip(tmp / "pkg.zip", {{"bin/", ""}, {"bin/Morvell.exe", "app"}}));
  write_text(tmp / "setup/Morvell-Setup.exe", offline_installer(read_text(tmp / "pkg.zip")));
  const std::wstring setup = tmp.wide() + L"\\setup\\Morvell-Setup.exe";
  const std::wstring d = tmp.wide() + L"\\Programs\\Morvell";

  {  // The offline window, launching switched off on the command line.
    InstallerRun run(setup, L"--offline --no-launch --install-dir " + plat::quote_argument(d));
    ASSERT_TRUE(run.wait_window(kInstallTitle)) << "exit code " << run.wait_exit(0);
    std::vector<Expected> rows = {{1001, L"Static", L"安装 Morvell"}, {1002, L"Static", L"离线安装器已包含绿色版程序包。"}};
    for (const Expected& row : location_rows(d)) rows.push_back(row);
    expect_controls(run.controls(), with_bottom_rows(rows, L"准备就绪。", L"安装"));
    EXPECT_EQ(run.control(1010).checked, BST_CHECKED);
    EXPECT_EQ(run.control(1011).checked, BST_CHECKED);
    EXPECT_EQ(run.control(1012).checked, BST_UNCHECKED);
    for (int id : {1008, 1009, 1010, 1011, 1012, 1015, 1016}) EXPECT_TRUE(run.control(id).enabled) << id;
    DWORD_PTR position = 1;
    EXPECT_TRUE(ask(run.control(1013).handle, PBM_GETPOS, 0, 0, 5000, &position));
    EXPECT_EQ(position, 0u);
    // Not busy: the window closes when asked, and the run ends with 0.
    EXPECT_TRUE(run.close());
    EXPECT_EQ(run.wait_exit(), 0);
  }
  {  // The uninstall window: no version, location or choices.
    InstallerRun run(setup, L"--uninstall");
    ASSERT_TRUE(run.wait_window(kInstallTitle));
    expect_controls(run.controls(),
                    with_bottom_rows({{1001, L"Static", kUninstallShortcutTitle}, {1002, L"Static", L"将移除当前安装目录和快捷方式。"}},
                                     L"准备就绪。", L"卸载"));
    EXPECT_TRUE(run.close());
    EXPECT_EQ(run.wait_exit(), 0);
  }
  {  // The update window is busy from the start: while it waits for a running Morvell to end, both
     // buttons are off and closing the window is refused.
    write_text(U(d + L"\\bin\\Morvell.exe"), read_text(self_path()));
    write_text(U(d + L"\\install-info.json"), install_record_text(d));
    plat::ProcessHandle running = plat::kNoProcess;
    ASSERT_TRUE(plat::start_process(d + L"\\bin\\Morvell.exe", {L"--fake-app", L"linger"}, false, running));
    InstallerRun run(setup, L"--update --package " + plat::quote_argument(tmp.wide() + L"\\pkg.zip") + L" --install-dir " +
                                plat::quote_argument(d));
    ASSERT_TRUE(run.wait_window(kUpdateTitle));
    EXPECT_TRUE(run.wait_text(1014, kWaitingForExitStatus));
    expect_controls(run.controls(),
                    with_bottom_rows({{1001, L"Static", L"更新 Morvell"},
                                      {1002, L"Static", L"正在安装已下载的更新包，请不要关闭窗口。用户配置和授权信息会自动保留。"}},
                                     kAnyText, L"更新"));
    EXPECT_FALSE(run.control(1015).enabled);
    EXPECT_FALSE(run.control(1016).enabled);
    EXPECT_TRUE(ask(run.window(), WM_CLOSE, 0, 0, 5000));
    EXPECT_TRUE(IsWindow(run.window()));
    EXPECT_EQ(run.wait_exit(0), -1);
    plat::end_process(running);
  }
}

TEST(Win32Window, OnlineInstallFromTheLoopbackServer) {
  SKIP_WITHOUT_WINDOW();
  UpdateServer server("w1");
  if (!server.skip.empty()) GTEST_SKIP() << server.skip;
  TempDir tmp;
  ASSERT_TRUE(write_zip(tmp / "17.zip", {{"bin/", ""}, {"bin/Morvell.exe", "app 6.1.17"}}));
  ASSERT_TRUE(write_zip(tmp / "16.zip", {{"bin/", ""}, {"bin/Morvell.exe", "app 6.1.16"},
                                         {"config/settings.ini", "shipped"}, {"README.txt", "六一六"}}));
  server.serve("files/Morvell-6.1.17.zip", read_text(tmp / "17.zip"));
  server.serve("files/Morvell-6.1.16.zip", read_text(tmp / "16.zip"));
  const std::string notes17 = "Morvell 6.1.17：更快的启动。";
  const std::string notes16 = "Morvell 6.1.16\n修复了保存设置的问题。";
  server.serve("updates/releases.json",
               "{\"releases\": [" +
                   release("6.1.17", server.url("files/Morvell-6.1.17.zip"), digest_of(tmp / "17.zip"), notes17) + ", " +
                   release("6.1.16", server.url("files/Morvell-6.1.16.zip"), digest_of(tmp / "16.zip"),
                           "Morvell 6.1.16\\n修复了保存设置的问题。") +
                   "]}");
  const std::string installer_bytes = installer_for_server(server.base);
  ASSERT_FALSE(installer_bytes.empty()) << "the installer's update server address was not found once";
  write_text(tmp / "online/morvell-installer.exe", installer_bytes);
  const std::wstring d = tmp.wide() + L"\\Programs\\Morvell";
  Shortcuts links;

  InstallerRun run(tmp.wide() + L"\\online\\morvell-installer.exe", L"--no-launch --install-dir " + plat::quote_argument(d));
  ASSERT_TRUE(run.wait_window(kInstallTitle));
  ASSERT_TRUE(run.wait_text(1014, kChooseVersion)) << U(run.control(1014).text);
  std::vector<Expected> rows = {{1001, L"Static", L"安装 Morvell"},
                                {1002, L"Static", L"选择一个可用版本，安装器会自动下载并安装绿色版程序。"},
                                {1003, L"Static", L"版本："},
                                {1004, WC_COMBOBOXW, L"6.1.17"},
                                {1005, L"Static", L"版本说明："},
                                {1006, L"Edit", kAnyText}};
  for (const Expected& row : location_rows(d)) rows.push_back(row);
  expect_controls(run.controls(), with_bottom_rows(rows, kChooseVersion, L"安装"));
  EXPECT_EQ(run.combo_lines(1004), (std::vector<std::wstring>{L"6.1.17", L"6.1.16"}));
  EXPECT_EQ(run.combo_selection(1004), 0);
  EXPECT_EQ(U(run.control(1006).text), notes17);
  const LONG notes_style = GetWindowLongW(run.control(1006).handle, GWL_STYLE);
  EXPECT_TRUE((notes_style & ES_MULTILINE) && (notes_style & ES_READONLY) && (notes_style & WS_VSCROLL));
  // Tab goes from the version list into the read-only notes, and on out of them.
  EXPECT_TRUE(run.wait_focus(kVersionComboId));
  ASSERT_TRUE(run.key(kVersionComboId, VK_TAB));
  EXPECT_TRUE(run.wait_focus(kNotesId));
  ASSERT_TRUE(run.key(kNotesId, VK_TAB));
  EXPECT_TRUE(run.wait_focus(kLocationId));

  ASSERT_TRUE(run.choose(1004, 1));
  EXPECT_TRUE(run.wait_text(1006, as_shown(notes16))) << U(run.control(1006).text);
  ASSERT_TRUE(run.press(1016));
  EXPECT_EQ(U(run.wait_message_box()), "Morvell 安装完成");
  EXPECT_TRUE(run.dismiss_message_box());
  EXPECT_EQ(run.wait_exit(), 0);

  const auto tree = snapshot_tree(U(d));
  EXPECT_EQ(tree.at("bin/Morvell.exe"), "app 6.1.16");
  EXPECT_EQ(tree.at("config/settings.ini"), "shipped");
  EXPECT_EQ(tree.at("README.txt"), "六一六");
  EXPECT_EQ(tree.at("bin/Morvell-Uninstall.exe"), installer_bytes);
  EXPECT_EQ(tree.at("install-info.json"), install_record_text(d, "6.1.16"));   // the release chosen
  EXPECT_FALSE(exists(tmp / "online/Morvell-Installer-Temp"));

  LinkFields fields;
  ASSERT_TRUE(read_link(links.desktop, fields));
  EXPECT_EQ(lower(fields.path), lower(d + L"\\bin\\Morvell.exe"));
  ASSERT_TRUE(read_link(links.menu + L"\\Morvell.lnk", fields));
  EXPECT_EQ(lower(fields.path), lower(d + L"\\bin\\Morvell.exe"));
  ASSERT_TRUE(read_link(links.menu + L"\\卸载 Morvell.lnk", fields));
  EXPECT_EQ(lower(fields.path), lower(d + L"\\bin\\Morvell-Uninstall.exe"));
  EXPECT_EQ(fields.arguments, L"--uninstall");
}

TEST(Win32Window, AnswersWithin100MsDuringADownloadAndADigestCheck) {
  SKIP_WITHOUT_WINDOW();
  UpdateServer server("w2");
  if (!server.skip.empty()) GTEST_SKIP() << server.skip;
  TempDir tmp;
  // Large enough for the digest check to take many turns; the body comes in pieces with pauses
  // longer than the 100 ms a window may keep the user waiting.
  std::string filler(64u << 20, '\0');
  for (size_t i = 0; i < filler.size(); ++i) filler[i] = static_cast<char>((i * 2654435761u) >> 13);
  ASSERT_TRUE(write_zip(tmp / "big.zip", {{"bin/", ""}, {"bin/Morvell.exe", "app"}, {"data/filler.bin", filler}}));
  filler.clear();
  filler.shrink_to_fit();
  server.serve("files/Morvell-big.zip", read_text(tmp / "big.zip"));
  server.serve("updates/releases.json",
               "{\"releases\": [" +
                   release("6.1.17", server.url("files/Morvell-big.zip?pieces=16&pause=250"), digest_of(tmp / "big.zip"),
                           "big") +
                   "]}");
  const std::string installer_bytes = installer_for_server(server.base);
  ASSERT_FALSE(installer_bytes.empty());
  write_text(tmp / "online/morvell-installer.exe", installer_bytes);
  const std::wstring d = tmp.wide() + L"\\Programs\\Morvell";

  InstallerRun run(tmp.wide() + L"\\online\\morvell-installer.exe",
                   L"--no-launch --no-desktop-shortcut --no-start-menu-shortcut --install-dir " + plat::quote_argument(d));
  ASSERT_TRUE(run.wait_window(kInstallTitle));
  ASSERT_TRUE(run.wait_text(1014, kChooseVersion));
  const HWND window = run.window();
  const HWND status = run.control(1014).handle;
  ASSERT_TRUE(run.press(1016));

  struct Phase {
    const wchar_t* prefix;
    int asks = 0, moves = 0, late = 0;
    double worst = 0;
  };
  Phase phases[] = {{L"正在下载安装包..."}, {L"正在校验安装包..."}};
  bool close_refused = false, close_tried = false;
  RECT start{};
  GetWindowRect(window, &start);
  const auto end = GetTickCount64() + 300000;
  while (!find_message_box(run.pid(), window) && GetTickCount64() < end) {
    const std::wstring text = window_text(status);
    for (Phase& phase : phases) {
      if (text.compare(0, wcslen(phase.prefix), phase.prefix) != 0) continue;
      const double answer = timed_ask(window, WM_NULL, 0, 0, 1000);
      ++phase.asks;
      phase.worst = std::max(phase.worst, answer < 0 ? 1000.0 : answer);
      if (answer < 0 || answer > 100) ++phase.late;
      if (phase.asks % 8 == 0) {   // a move, there and back
        const int x = start.left + (phase.moves % 2 ? 0 : 40);
        const double moved = timed_move(window, x, start.top, 1000);
        ++phase.moves;
        phase.worst = std::max(phase.worst, moved < 0 ? 1000.0 : moved);
        if (moved < 0 || moved > 100) ++phase.late;
        RECT now{};
        GetWindowRect(window, &now);
        EXPECT_EQ(now.left, x);
      }
      if (!close_tried && &phase == &phases[0] && phase.asks > 4) {   // busy: closing is refused
        close_tried = true;
        close_refused = ask(window, WM_CLOSE, 0, 0, 1000) && IsWindow(window);
      }
    }
    if (run.wait_exit(5) != -1) break;   // the next look, unless the program ends first
  }
  for (const Phase& phase : phases) {
    std::printf("%s: %d answers, %d moves, worst %.1f ms, %d late\n", U(phase.prefix).c_str(), phase.asks, phase.moves,
                phase.worst, phase.late);
    EXPECT_EQ(phase.late, 0) << U(phase.prefix) << " worst " << phase.worst << " ms";
    EXPECT_GE(phase.moves, 1) << U(phase.prefix);
  }
  EXPECT_GE(phases[0].asks, 40);
  EXPECT_GE(phases[1].asks, 8);
  EXPECT_TRUE(close_refused);
  EXPECT_EQ(U(run.wait_message_box()), "Morvell 安装完成");
  EXPECT_TRUE(run.dismiss_message_box());
  EXPECT_EQ(run.wait_exit(), 0);
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), "app");
}

TEST(Win32Window, OfflineInstallUpdateAndUninstallThroughTheWindow) {
  SKIP_WITHOUT_WINDOW();
  TempDir tmp;
  AppLog app_log(tmp / "app.log");
  const std::string app = read_text(self_path());
  ASSERT_TRUE(write_zip(tmp / "pkg.zip", {{"bin/Morvell.exe", app}, {"config/settings.ini", "shipped"}}));
  const std::wstring setup = tmp.wide() + L"\\setup\\Morvell-Setup.exe";
  write_text(U(setup), offline_installer(read_text(tmp / "pkg.zip")));
  const std::wstring d = tmp.wide() + L"\\Programs\\\u5B89\u88C5 Morvell";
  const Shortcuts shortcuts;
  const std::wstring& desktop_link = shortcuts.desktop;
  const std::wstring& menu = shortcuts.menu;

  {  // The offline window: the user ticks the desktop shortcut again, then installs.
    InstallerRun run(setup, L"--offline --no-launch --no-desktop-shortcut --install-dir " + plat::quote_argument(d));
    ASSERT_TRUE(run.wait_window(kInstallTitle)) << "no window";
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
  // Its entry in Apps & features. Another program changes three of its values: the update
  // rewrites the version and the size, and only those.
  std::vector<AppEntry> entries = app_entries_at(d);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].texts[L"DisplayVersion"], L"6.1.17");
  EXPECT_EQ(entries[0].numbers[L"EstimatedSize"], kib_of(snapshot_tree(U(d))));
  set_entry_text(entries[0], L"DisplayVersion", L"6.1.0");
  set_entry_text(entries[0], L"InstallDate", L"20000101");
  set_entry_number(entries[0], L"EstimatedSize", 1);

  // The update run, started as the application starts it, with a copy of the application
  // running: busy from the start, that copy closed, the configuration kept, the new files
  // written, the application started again and exit code 0.
  write_text(U(d + L"\\config\\settings.ini"), "the user's");
  plat::ProcessHandle running = plat::kNoProcess;
  ASSERT_TRUE(plat::start_process(d + L"\\bin\\Morvell.exe", {L"--fake-app", L"linger"}, false, running));
  ASSERT_TRUE(wait_until(30000, [&] { return count_lines(read_text(tmp / "app.log")) == 1; }));
  ASSERT_TRUE(write_zip(tmp / "downloads/update.zip",
                        {{"bin/Morvell.exe", app}, {"config/settings.ini", "shipped 2"}, {"new.txt", "new"}}));
  {
    InstallerRun run(setup, L"--update --package " + plat::quote_argument(tmp.wide() + L"\\downloads\\update.zip") +
                                L" --install-dir " + plat::quote_argument(d));
    ASSERT_TRUE(run.wait_window(kUpdateTitle)) << "no window";
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
  entries = app_entries_at(d);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].texts[L"DisplayVersion"], L"6.1.17");
  EXPECT_EQ(entries[0].numbers[L"EstimatedSize"], kib_of(snapshot_tree(U(d))));
  EXPECT_EQ(entries[0].texts[L"InstallDate"], L"20000101");
  // The updated application was started again (it logs its start and ends at once).
  EXPECT_TRUE(wait_until(30000, [&] { return count_lines(read_text(tmp / "app.log")) == 2; }))
      << read_text(tmp / "app.log");

  {  // A package that is not there: the error dialog, exit code 4, the installation as it was.
    InstallerRun run(setup, L"--update --package " + plat::quote_argument(tmp.wide() + L"\\downloads\\none.zip") +
                                L" --install-dir " + plat::quote_argument(d));
    ASSERT_TRUE(run.wait_window(kUpdateTitle)) << "no window";
    EXPECT_FALSE(run.wait_message_box().empty());
    ASSERT_TRUE(run.dismiss_message_box());
    EXPECT_EQ(run.wait_exit(), 4);
  }
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "the user's");

  {  // The uninstaller: no location, no choices; the shortcuts go and the removal script starts.
    InstallerRun run(d + L"\\bin\\Morvell-Uninstall.exe", L"--uninstall --log " + plat::quote_argument(tmp.wide() + L"\\uninstall.log"));
    ASSERT_TRUE(run.wait_window(kInstallTitle)) << "no window";
    EXPECT_EQ(run.control(kTitleId).text, kUninstallShortcutTitle);
    EXPECT_EQ(run.control(kDescriptionId).text, L"将移除当前安装目录和快捷方式。");
    EXPECT_EQ(run.control(kLocationId).handle, nullptr);
    EXPECT_EQ(run.control(kDesktopCheckId).handle, nullptr);
    EXPECT_EQ(run.control(kActionId).text, L"卸载");
    ASSERT_TRUE(run.press(kActionId));
    EXPECT_EQ(run.wait_exit(), 0);
  }
  EXPECT_FALSE(exists(U(desktop_link))) << read_text(tmp / "uninstall.log");
  EXPECT_FALSE(exists(U(menu)));
  EXPECT_TRUE(app_entries_at(d).empty());
}

TEST(Win32Window, TheUninstallWindowLeavesTheRemovalToItsScript) {
  if (running_under_wine())
    GTEST_SKIP() << "Wine's cmd keeps a running script open, so the folder holding it cannot go";
  TempDir tmp;
  ASSERT_TRUE(write_zip(tmp / "pkg.zip", {{"bin/Morvell.exe", "app"}, {"config/settings.ini", "shipped"}}));
  const std::wstring setup = tmp.wide() + L"\\Morvell-Setup.exe";
  write_text(U(setup), offline_installer(read_text(tmp / "pkg.zip")));
  const std::wstring d = tmp.wide() + L"\\Morvell";
  InstallerRun install(setup, L"--silent-install --no-launch --no-desktop-shortcut --no-start-menu-shortcut "
                              L"--install-dir " + plat::quote_argument(d));
  ASSERT_EQ(install.wait_exit(), 0);
  InstallerRun run(d + L"\\bin\\Morvell-Uninstall.exe", L"--uninstall");
  ASSERT_TRUE(run.wait_window(kInstallTitle)) << "no window";
  ASSERT_TRUE(run.press(kActionId));
  EXPECT_EQ(run.wait_exit(), 0);
  EXPECT_TRUE(wait_until(30000, [&] { return !exists(U(d)); }));
}
