// The update hand-off on Windows, in process: the package is written over the installation with
// the user's configuration kept, the package is consumed, and the exit code tells the outcome.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "common/log.h"
#include "common/state.h"
#include "common/strings.h"
#include "flows/update.h"
#include "install/instances.h"
#include "install/record.h"
#include "install/rollback.h"
#include "install/settle.h"
#include "package/workdir.h"
#include "install/record.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/log_reader.h"
#include "support/window_driver.h"
#include "support/zip_writer.h"

using namespace testing_support;

namespace {

struct StateGuard {
  ~StateGuard() {
    set_work_program_path(L"");
    install_options = InstallOptions();
    run_mode = RunMode::Online;
    exit_code = 0;
  }
};

// A real program that ends at once, to stand as the restarted application.
std::string quick_program() {
  std::wstring self = W(self_path());
  return read_text(U(parent_path(parent_path(parent_path(self))) + L"\\wine-path\\tar.exe"));
}

}  // namespace

TEST(Win32Update, WritesThePackageOverTheInstallationKeepingTheConfiguration) {
  StateGuard guard;
  TempDir tmp;
  std::wstring d = tmp.wide() + L"\\Morvell";
  // The installed application is running and would not leave by itself.
  write_text(U(d + L"\\bin\\Morvell.exe"), read_text(self_path()));
  write_text(U(d + L"\\install-info.json"), install_record_text(d));
  plat::ProcessHandle running = plat::kNoProcess;
  ASSERT_TRUE(plat::start_process(d + L"\\bin\\Morvell.exe", {L"--fake-app", L"linger"}, false, running));
  const uint32_t running_pid = GetProcessId(reinterpret_cast<HANDLE>(running));
  EXPECT_TRUE(wait_until(10000, [&] { return !find_running_instances(d).empty(); }));
  write_text(U(d + L"\\config\\settings.ini"), "the user's");
  write_text(U(d + L"\\old-only.txt"), "stays");
  std::string app = quick_program();
  ASSERT_FALSE(app.empty());
  ASSERT_TRUE(write_zip(tmp / "downloads/update.zip",
                        {{"bin/Morvell.exe", app}, {"config/settings.ini", "shipped"}, {"new.txt", "new"}}));
  set_work_program_path(tmp.wide() + L"\\setup\\Morvell-Setup.exe");
  install_options.install_dir = U(d) + "\\";
  install_options.package_path = tmp / "downloads/update.zip";
  run_mode = RunMode::Update;
  exit_code = 77;
  ASSERT_TRUE(open_log(tmp.wide() + L"\\logs\\update.log"));
  EXPECT_FALSE(run_update());   // an idle callback that runs once
  close_log();
  EXPECT_EQ(exit_code, 0);
  // The copy was ended after the polite wait, and the log says so.
  uint32_t running_code = 0;
  EXPECT_EQ(plat::wait_process(running, 10000, running_code), plat::WaitResult::Exited);
  EXPECT_TRUE(logged_in_order(log_events(read_text(tmp / "logs/update.log")),
                              {"状态：正在等待 Morvell 退出...", "结束正在运行的 Morvell：进程 " + std::to_string(running_pid),
                               "状态：正在写入更新文件...", "启动程序（不等待其结束）：" + U(d) + "\\bin\\Morvell.exe"}))
      << read_text(tmp / "logs/update.log");
  EXPECT_EQ(count_logged(log_events(read_text(tmp / "logs/update.log")), "失败"), 0u) << read_text(tmp / "logs/update.log");
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), app);
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "the user's");
  EXPECT_EQ(read_text(U(d + L"\\new.txt")), "new");
  EXPECT_TRUE(exists(U(d + L"\\install-info.json")));
  EXPECT_FALSE(exists(tmp / "downloads/update.zip"));   // consumed
  EXPECT_FALSE(exists(tmp / "setup/Morvell-Installer-Temp"));
  EXPECT_FALSE(exists(U(d + L"\\Morvell-Update-Temp")));
  EXPECT_FALSE(exists(U(d + L"\\Morvell-Update-Config-Backup")));

  // A package that is not there: exit code 4, the installation untouched.
  install_options.package_path = tmp / "downloads/none.zip";
  EXPECT_FALSE(run_update());
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "the user's");
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), app);

  // A replace refused by the system (a file the package replaces is held open without
  // share-delete, as scanners do): everything written goes back, to the byte, and the log names
  // the refused move with the system's code.
  ASSERT_TRUE(write_zip(tmp / "downloads/update.zip", {{"bin/Morvell.exe", app}, {"new.txt", "newer"}, {"more.txt", "more"}}));
  install_options.package_path = tmp / "downloads/update.zip";
  const auto before = snapshot_tree(U(d));
  HANDLE held = CreateFileW((d + L"\\new.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(open_log(tmp.wide() + L"\\logs\\held.log"));
  run_update();
  close_log();
  CloseHandle(held);
  EXPECT_EQ(exit_code, 4);
  const std::vector<std::string> events = log_events(read_text(tmp / "logs/held.log"));
  EXPECT_TRUE(logged_in_order(events, {"文件操作失败：rename " + U(d) + "\\new.txt", "无法写入安装目录。已恢复更新前的版本。"}))
      << read_text(tmp / "logs/held.log");
  EXPECT_TRUE(snapshot_tree(U(d)) == before);
  EXPECT_FALSE(exists(U(d + L"\\Morvell-Update-Rollback")));
}

// The new version is watched after its start: one that ends with an NTSTATUS error code is taken
// back and the previous version started again; one that ends with code 1 stays. A file that
// cannot be put back (held open while the update is taken back) is retried, then named, and the
// next run finishes the job.
TEST(Win32Update, ANewVersionThatCrashesIsTakenBack) {
  StateGuard guard;
  TempDir tmp;
  const std::wstring d = tmp.wide() + L"\\Morvell";
  const std::string program = read_text(self_path()), log = tmp / "app.log";
  write_text(U(d + L"\\bin\\Morvell.exe"), program);
  write_text(U(d + L"\\config\\settings.ini"), "the user's");
  write_text(U(d + L"\\install-info.json"), install_record_text(d));
  SetEnvironmentVariableW(L"MORVELL_FAKE_APP_LOG", W(log).c_str());
  set_work_program_path(tmp.wide() + L"\\setup\\Morvell-Setup.exe");
  install_options.install_dir = U(d);
  run_mode = RunMode::Update;
  const auto before = snapshot_tree(U(d));
  auto update_with = [&](const char* code) {
    DeleteFileW(W(log).c_str());
    write_zip(tmp / "downloads/update.zip",
              {{"bin/Morvell.exe", program}, {"bin/exit-code", code}, {"config/settings.ini", "shipped"}, {"new.txt", "new"}});
    install_options.package_path = tmp / "downloads/update.zip";
    run_update();
  };
  update_with("C0000005");
  EXPECT_EQ(exit_code, 4);
  EXPECT_TRUE(snapshot_tree(U(d)) == before);
  // The new version's start, then the previous version's.
  EXPECT_TRUE(wait_until(10000, [&] {
    const std::string lines = read_text(log);
    return std::count(lines.begin(), lines.end(), '\n') >= 2;
  })) << read_text(log);

  set_put_back_retry_ms(300);
  HANDLE held = INVALID_HANDLE_VALUE;
  plat::set_fault_hook([&](const char* op, const std::wstring&) {
    if (std::string(op) == "launch_watched" && held == INVALID_HANDLE_VALUE)
      held = CreateFileW((d + L"\\new.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    return false;
  });
  update_with("C0000005");
  plat::set_fault_hook(nullptr);
  set_put_back_retry_ms(0);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  CloseHandle(held);
  EXPECT_EQ(exit_code, 4);
  std::wstring error;
  EXPECT_TRUE(settle_installation(d, error)) << U(error);
  EXPECT_TRUE(snapshot_tree(U(d)) == before);

  update_with("1");
  EXPECT_EQ(exit_code, 0);
  EXPECT_EQ(read_text(U(d + L"\\new.txt")), "new");
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "the user's");
  EXPECT_FALSE(exists(U(d + L"\\Morvell-Update-Rollback")));
  SetEnvironmentVariableW(L"MORVELL_FAKE_APP_LOG", nullptr);
}

// A running copy with unsaved work is asked to close when the wait begins: it saves, ends by
// itself, and its file is there when the update goes on; nothing is ended by force.
TEST(Win32Update, ARunningCopyIsAskedToCloseAndSavesItsWorkFirst) {
  const std::string no_window = no_window_reason();
  if (!no_window.empty()) GTEST_SKIP() << no_window;
  StateGuard guard;
  TempDir tmp;
  std::wstring d = tmp.wide() + L"\\Morvell";
  write_text(U(d + L"\\bin\\Morvell.exe"), read_text(self_path()));
  write_text(U(d + L"\\install-info.json"), install_record_text(d));
  write_text(U(d + L"\\config\\settings.ini"), "the user's");
  plat::ProcessHandle running = plat::kNoProcess;
  ASSERT_TRUE(plat::start_process(d + L"\\bin\\Morvell.exe",
                                  {L"--fake-app", L"save-on-close", d + L"\\config\\work.txt"}, false, running));
  const DWORD pid = GetProcessId(reinterpret_cast<HANDLE>(running));
  ASSERT_TRUE(wait_until(30000, [&] { return find_top_window(pid, L"Morvell") != nullptr; }));
  ASSERT_TRUE(write_zip(tmp / "update.zip", {{"bin/Morvell.exe", quick_program()}, {"new.txt", "new"}}));
  set_work_program_path(tmp.wide() + L"\\setup\\Morvell-Setup.exe");
  install_options.install_dir = U(d);
  install_options.package_path = tmp / "update.zip";
  run_mode = RunMode::Update;
  ASSERT_TRUE(open_log(tmp.wide() + L"\\update.log"));
  run_update();
  close_log();
  EXPECT_EQ(exit_code, 0);
  uint32_t code = 0;
  EXPECT_EQ(plat::wait_process(running, 10000, code), plat::WaitResult::Exited);
  EXPECT_EQ(code, 7u);   // it ended itself, after saving
  EXPECT_EQ(read_text(U(d + L"\\config\\work.txt")), "saved");
  EXPECT_EQ(read_text(U(d + L"\\new.txt")), "new");
  const std::vector<std::string> events = log_events(read_text(tmp / "update.log"));
  EXPECT_TRUE(logged_in_order(events, {"请正在运行的 Morvell 关闭：进程 " + std::to_string(pid), "状态：正在写入更新文件..."}))
      << read_text(tmp / "update.log");
  EXPECT_EQ(count_logged(events, "结束正在运行的 Morvell"), 0u);
}
