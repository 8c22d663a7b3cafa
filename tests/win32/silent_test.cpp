// The real Windows installer end to end under the test's Wine prefix: an offline installer made
// from morvell-installer.exe, installed with --silent-install, plus its windowed runs closed unused.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/state.h"
#include "common/strings.h"
#include "install/record.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/app_entries.h"
#include "support/installer_runs.h"
#include "support/log_reader.h"
#include "support/user_folder.h"
#include "support/window_driver.h"
#include "support/zip_writer.h"

using namespace testing_support;

TEST(Win32SilentInstall, OfflineInstallerEndToEnd) {
  ASSERT_NE(plat::path_kind(installer_path()), plat::PathKind::None) << U(installer_path());
  TempDir tmp;
  ASSERT_TRUE(write_zip(tmp / "pkg.zip", {{"bin/", ""}, {"bin/Morvell.exe", "app"}, {"config/settings.ini", "shipped"}}));
  write_text(tmp / "setup/Morvell-Setup.exe", offline_installer(read_text(tmp / "pkg.zip")));
  std::wstring setup = tmp.wide() + L"\\setup\\Morvell-Setup.exe";
  std::wstring d = tmp.wide() + L"\\Programs\\\u5B89\u88C5 Morvell";
  write_text(U(d + L"\\bin\\Morvell.exe"), "the earlier app");   // an installation, so it may be replaced
  write_text(U(d + L"\\install-info.json"), install_record_text(d));
  write_text(U(d + L"\\config\\settings.ini"), "the user's");
  // A work folder that this run did not make, with a folder where the package copy goes: it is
  // left as it is, and the run takes a work folder of its own beside it.
  write_text(tmp / "setup/Morvell-Installer-Temp/Morvell-offline-package.zip/planted.txt", "not ours");

  const std::wstring log = tmp.wide() + L"\\logs\\\u5B89\u88C5.log";
  EXPECT_EQ(run_and_wait(setup, L"--offline --silent-install --no-launch --no-desktop-shortcut --no-start-menu-shortcut "
                       L"--install-dir " + plat::quote_argument(d + L"\\") + L" --log " + plat::quote_argument(log)), 0);
  const std::vector<std::string> events = log_events(read_text(U(log)));
  EXPECT_TRUE(logged_in_order(events, {
      "运行模式：offline，更新：否，静默安装：是，安装目录：" + U(d) + "，安装包：，桌面快捷方式：否，开始菜单快捷方式：否，安装后启动：否",
      "状态：正在解压安装包...", "启动外部程序：tar.exe", "外部程序结束：tar.exe，退出码 0", "状态：正在替换程序文件...",
      "已写入安装记录：" + U(d) + "\\install-info.json", "退出码：0"}));
  EXPECT_EQ(count_logged(events, "MALFORMED"), 0u);
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), "app");
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "the user's");
  // The uninstaller is the program part alone, and that image still starts: it carries nothing,
  // so a silent install from it ends with 2 (its windowed run is below).
  const std::wstring uninstaller = d + L"\\bin\\Morvell-Uninstall.exe";
  EXPECT_TRUE(read_text(U(uninstaller)) == read_text(U(installer_path())));
  EXPECT_EQ(run_and_wait(uninstaller, L"--silent-install --no-launch --install-dir " + plat::quote_argument(tmp.wide() + L"\\x")), 2);
  EXPECT_FALSE(exists(tmp / "x"));
  EXPECT_NE(read_text(U(d + L"\\install-info.json")).find("\"version\": \"6.1.17\""), std::string::npos);
  EXPECT_EQ(read_text(tmp / "setup/Morvell-Installer-Temp/Morvell-offline-package.zip/planted.txt"), "not ours");
  EXPECT_FALSE(exists(tmp / "setup/Morvell-Installer-Temp-2"));   // the run's own work directory went away
  EXPECT_FALSE(exists(U(d + L".old")));

  // The plain installer carries nothing: exit 2, and no work directory is left behind.
  std::wstring bare = tmp.wide() + L"\\bare\\morvell-installer.exe";
  write_text(U(bare), read_text(U(installer_path())));
  EXPECT_EQ(run_and_wait(bare, L"--silent-install --no-launch --install-dir " + plat::quote_argument(tmp.wide() + L"\\other")), 2);
  EXPECT_FALSE(exists(tmp / "bare/Morvell-Installer-Temp"));
  EXPECT_FALSE(exists(tmp / "other"));
  // A window program all the same writes why on the standard error its starter gave it.
  EXPECT_EQ(capture_shell("\"\"" + U(bare) + "\" --silent-install --install-dir \"" + (tmp / "other") + "\" 2>&1\""),
            "离线安装器未包含安装包数据。\n");

  // A carried archive that is no zip: the install fails with 3 and the installation stays.
  write_text(tmp / "bad/Morvell-Setup.exe", offline_installer("this is not a zip archive at all"));
  EXPECT_EQ(run_and_wait(tmp.wide() + L"\\bad\\Morvell-Setup.exe",
                L"--silent-install --no-launch --install-dir " + plat::quote_argument(d) + L" --log=" + plat::quote_argument(log)), 3);
  const std::vector<std::string> failed = log_events(read_text(U(log)));
  EXPECT_TRUE(logged_in_order(failed, {"退出码：0", "状态：正在解压安装包...", "失败：[正在解压安装包...] ", "退出码：3"}));
  EXPECT_EQ(failed.back(), "退出码：3");
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), "app");

  // A package without bin\Morvell.exe is refused before the swap: 3, and the installation stays.
  ASSERT_TRUE(write_zip(tmp / "hollow.zip", {{"bin/", ""}, {"bin/Morvell", "near miss"}, {"readme.txt", "x"}}));
  write_text(tmp / "hollow/Morvell-Setup.exe", offline_installer(read_text(tmp / "hollow.zip")));
  EXPECT_EQ(run_and_wait(tmp.wide() + L"\\hollow\\Morvell-Setup.exe",
                L"--silent-install --no-launch --install-dir " + plat::quote_argument(d)), 3);
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), "app");
  EXPECT_FALSE(exists(U(d + L"\\readme.txt")));

  // A relative install directory stands on the current directory, settled once at start-up.
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW((tmp.wide() + L"\\setup").c_str()));
  long relative = run_and_wait(setup, L"--silent-install --no-launch --no-desktop-shortcut --no-start-menu-shortcut "
                             L"--install-dir rel\\Morvell");
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(relative, 0);
  const std::wstring rel = tmp.wide() + L"\\setup\\rel\\Morvell";
  EXPECT_EQ(read_text(U(rel + L"\\bin\\Morvell.exe")), "app");
  std::string escaped;
  for (char c : U(rel)) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_NE(read_text(U(rel + L"\\install-info.json")).find("\"install_dir\": \"" + escaped + "\""), std::string::npos)
      << read_text(U(rel + L"\\install-info.json"));

  // A folder of the user's: 3, and every file of it stays.
  write_text(tmp / "Documents/thesis.txt", "years of work");
  EXPECT_EQ(run_and_wait(setup, L"--silent-install --no-launch --install-dir " + plat::quote_argument(tmp.wide() + L"\\Documents")), 3);
  EXPECT_EQ(read_text(tmp / "Documents/thesis.txt"), "years of work");
  EXPECT_FALSE(exists(tmp / "Documents/bin"));
  // Below a file nothing can be made: 3, and the log names the operation, the path and the
  // system's own code and text.
  write_text(tmp / "a-file", "a file of the user's");
  const std::wstring under_file = tmp.wide() + L"\\a-file\\Morvell";
  EXPECT_EQ(run_and_wait(setup, L"--silent-install --no-launch --install-dir " + plat::quote_argument(under_file) +
                                    L" --log " + plat::quote_argument(log)),
            3);
  const std::vector<std::string> refused = log_events(read_text(U(log)));
  EXPECT_TRUE(logged_in_order(refused, {"文件操作失败：make_directory " + U(under_file) + "（系统错误：GetLastError ",
                                        "失败：[正在准备安装目录...] ", "退出码：3"}))
      << read_text(U(log));
  EXPECT_EQ(read_text(tmp / "a-file"), "a file of the user's");

  // Two installs at once from their own folders, appending to one log: every line stays whole,
  // both runs are there.
  const std::wstring shared = tmp.wide() + L"\\logs\\shared.log";
  write_text(tmp / "setup-one/Morvell-Setup.exe", read_text(U(setup)));
  write_text(tmp / "setup-two/Morvell-Setup.exe", read_text(U(setup)));
  plat::ProcessHandle one = plat::kNoProcess, two = plat::kNoProcess;
  for (plat::ProcessHandle* process : {&one, &two})
    ASSERT_TRUE(plat::start_process(tmp.wide() + (process == &one ? L"\\setup-one" : L"\\setup-two") + L"\\Morvell-Setup.exe",
                                    {L"--silent-install", L"--no-launch", L"--no-desktop-shortcut",
                                     L"--no-start-menu-shortcut", L"--install-dir",
                                     tmp.wide() + (process == &one ? L"\\one" : L"\\two"), L"--log=" + shared},
                                    false, *process));
  uint32_t code_one = 99, code_two = 99;
  EXPECT_EQ(plat::wait_process(one, 120000, code_one), plat::WaitResult::Exited);
  EXPECT_EQ(plat::wait_process(two, 120000, code_two), plat::WaitResult::Exited);
  EXPECT_EQ(code_one, 0u);
  EXPECT_EQ(code_two, 0u);
  const std::vector<std::string> both = log_events(read_text(U(shared)));
  EXPECT_EQ(count_logged(both, "MALFORMED"), 0u);
  EXPECT_EQ(count_logged(both, std::string("morvell-installer ") + installer_version), 2u);
  EXPECT_EQ(count_logged(both, "已写入安装记录："), 2u);
  EXPECT_EQ(count_logged(both, "退出码：0"), 2u);
  EXPECT_EQ(read_text(tmp / "one/bin/Morvell.exe"), "app");
  EXPECT_EQ(read_text(tmp / "two/bin/Morvell.exe"), "app");

  // --help and --version answer on standard output with 0 (a pipe here: UTF-8 bytes).
  const std::string quoted_setup = "\"" + U(setup) + "\"";
  const std::string usage = capture_shell("\"" + quoted_setup + " --uninstall --help\"");
  EXPECT_EQ(usage.rfind("用法：morvell-installer ", 0), 0u) << usage;
  EXPECT_NE(usage.find("\n  --log FILE "), std::string::npos) << usage;
  EXPECT_NE(usage.find("\n  --silent-uninstall "), std::string::npos) << usage;
  EXPECT_EQ(capture_shell("\"" + quoted_setup + " --version\""),
            std::string("morvell-installer ") + installer_version + "\nMorvell " + carried_release + "\n");

  // Every windowed run opens its window, never the no-display message; closed unused, it ends
  // with 0 and changes nothing. The uninstaller copy started as such opens the uninstall window.
  const std::string no_window = no_window_reason();
  if (!no_window.empty()) GTEST_SKIP() << no_window;
  auto closed_unused = [](const std::wstring& program, const std::wstring& parameters) {
    InstallerRun run(program, parameters);
    if (!run.wait_window(L"Morvell 安装器")) return "no window, exit code " + std::to_string(run.wait_exit(0));
    const std::string title = U(run.control(1001).text);
    run.close();
    return title + ": " + std::to_string(run.wait_exit());
  };
  EXPECT_EQ(closed_unused(uninstaller, L""), "卸载 Morvell: 0");
  EXPECT_FALSE(exists(U(d + L"\\bin\\Morvell-Installer-Temp")));
  EXPECT_EQ(closed_unused(setup, L"--offline"), "安装 Morvell: 0");
  EXPECT_EQ(closed_unused(setup, L"--uninstall"), "卸载 Morvell: 0");
  EXPECT_TRUE(exists(U(d + L"\\bin\\Morvell.exe")));
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "the user's");
  // A window program started without a console shows its usage in a message box.
  InstallerRun help(setup, L"--help");
  EXPECT_EQ(U(help.wait_message_box()).rfind("用法：morvell-installer ", 0), 0u);
  EXPECT_TRUE(help.dismiss_message_box());
  EXPECT_EQ(help.wait_exit(), 0);
}

// The entry in Apps & features of a silent install into a Chinese user's folder, every value as
// a fleet tool reads it, and its removal by --silent-uninstall; an uninstaller of no installation
// is refused with 3 and says why on standard error.
TEST(Win32SilentUninstall, TheAppsAndFeaturesEntryFromInstallToSilentUninstall) {
  TempDir tmp;
  ASSERT_TRUE(write_zip(tmp / "pkg.zip", {{"bin/Morvell.exe", "app"}, {"config/settings.ini", "shipped"}}));
  const std::wstring setup = tmp.wide() + L"\\setup\\Morvell-Setup.exe";
  write_text(U(setup), offline_installer(read_text(tmp / "pkg.zip")));
  ChineseUserFolder programs(L"Programs");
  const std::wstring d = programs.path() + L"\\Morvell";
  ASSERT_EQ(run_and_wait(setup, L"--silent-install --no-launch --no-desktop-shortcut --no-start-menu-shortcut "
                                L"--install-dir " + plat::quote_argument(d)), 0);
  const std::vector<AppEntry> entries = app_entries_at(d);
  ASSERT_EQ(entries.size(), 1u);
  const AppEntry& entry = entries[0];
  const std::wstring uninstaller = L"\"" + d + L"\\bin\\Morvell-Uninstall.exe\"";
  const std::map<std::wstring, std::wstring> texts = {
      {L"DisplayName", L"Morvell"},
      {L"DisplayVersion", W(carried_release)},
      {L"DisplayIcon", d + L"\\bin\\Morvell.exe"},
      {L"InstallLocation", d},
      {L"UninstallString", uninstaller + L" --uninstall"},
      {L"QuietUninstallString", uninstaller + L" --silent-uninstall"},
      {L"InstallDate", today_yyyymmdd()}};
  EXPECT_EQ(entry.texts, texts) << U(entry.key);
  const std::map<std::wstring, DWORD> numbers = {
      {L"EstimatedSize", kib_of(snapshot_tree(U(d)))}, {L"NoModify", 1}, {L"NoRepair", 1}};
  EXPECT_EQ(entry.numbers, numbers);
  EXPECT_EQ(entry.others, 0);

  // The quiet command as a fleet tool runs it: the entry goes at once, the removal is started.
  const std::wstring log = tmp.wide() + L"\\uninstall.log";
  EXPECT_EQ(run_and_wait(d + L"\\bin\\Morvell-Uninstall.exe", L"--silent-uninstall --log " + plat::quote_argument(log)), 0);
  EXPECT_TRUE(app_entries_at(d).empty());
  EXPECT_TRUE(logged_in_order(log_events(read_text(U(log))),
                              {"静默卸载：是", "启动程序（不等待其结束）：" + U(d) + "\\bin\\Morvell-Installer-Temp\\morv-uninstall.cmd",
                               "退出码：0"}))
      << read_text(U(log));

  // The offline installer belongs to no installation.
  EXPECT_EQ(capture_shell("\"\"" + U(setup) + "\" --silent-uninstall 2>&1\""), "无法识别安装目录，卸载已取消。\n");
  EXPECT_EQ(run_and_wait(setup, L"--silent-uninstall"), 3);
}
