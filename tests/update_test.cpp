// The update run in this process (no window): its steps, the configuration it keeps, what it
// leaves after failures injected through the fault seam, and the next run that mends them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "install/record.h"
#include "app/ui.h"
#include "common/state.h"
#include "common/strings.h"
#include "flows/update.h"
#include "package/workdir.h"
#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

// Files cannot be moved out of the configuration backup: putting the user's files back fails.
bool restore_fails(const char* op, const std::wstring& path) {
  return std::string(op) == "rename" && U(path).find("Morvell-Update-Config-Backup/config/") != std::string::npos;
}

// An installation D, a package P and a program path whose work directory lies in the temp dir.
struct UpdateBench {
  TempDir dir;
  std::string d = dir / "安装 目录";
  std::string p = dir / "downloads/update.zip";
  std::string log = dir / "app.log";

  UpdateBench() {
    set_work_program_path(W(dir / "program/morvell-installer"));
    run_shell("mkdir -p '" + dir / "program" + "'");
    setenv("MORVELL_TEST_APP_LOG", log.c_str(), 1);
    write_text(d + "/bin/Morvell.exe", "old program");
    write_text(d + "/install-info.json", install_record_text(W(d)));
    write_text(d + "/version.txt", "1.0\n");
    write_text(d + "/config/settings.ini", "user=changed\n");
    write_text(d + "/config/nested/mine.txt", "only the user has this");
    write_text(d + "/old-only.txt", "left alone");
    make_package(p);
    exit_code = 0;
    ui_trace = UiTrace();
  }
  ~UpdateBench() {
    plat::set_fault_hook(nullptr);
    set_work_program_path(L"");
    unsetenv("MORVELL_TEST_APP_LOG");
  }

  void make_package(const std::string& zip) {
    std::string src = dir / "package-src";
    run_shell("rm -rf '" + src + "'");
    write_text(src + "/bin/Morvell.exe",
               "#!/bin/sh\necho \"started $(pwd) $#\" >> \"$MORVELL_TEST_APP_LOG\"\n");
    chmod((src + "/bin/Morvell.exe").c_str(), 0755);
    write_text(src + "/version.txt", "2.0\n");
    write_text(src + "/config/settings.ini", "package=default\n");
    write_text(src + "/config/new-setting.ini", "new in the package\n");
    write_text(src + "/docs/readme.txt", "read me");
    run_shell("mkdir -p \"$(dirname '" + zip + "')\"");
    ASSERT_TRUE(make_zip(src, zip));
  }

  // An update whose restore fails, so that its configuration backup stays; returns a second
  // copy of the package for the next run.
  std::string fail_leaving_backup() {
    const std::string copy = dir / "downloads/second.zip";
    run_shell("cp '" + p + "' '" + copy + "'");
    plat::set_fault_hook(restore_fails);
    run(p);
    plat::set_fault_hook(nullptr);
    return copy;
  }

  bool run(const std::string& package) {
    install_options.install_dir = d;
    install_options.package_path = package;
    ui_trace = UiTrace();
    return run_update();
  }

  std::string launches() {
    for (int i = 0; i < 100 && read_text(log).empty(); ++i) usleep(20000);
    return read_text(log);
  }

  void expect_updated() {
    EXPECT_EQ(read_text(d + "/version.txt"), "2.0\n");
    EXPECT_EQ(read_text(d + "/docs/readme.txt"), "read me");
    EXPECT_EQ(read_text(d + "/old-only.txt"), "left alone");
    EXPECT_EQ(read_text(d + "/config/settings.ini"), "user=changed\n");   // the user's content wins
    EXPECT_EQ(read_text(d + "/config/nested/mine.txt"), "only the user has this");
    EXPECT_EQ(read_text(d + "/config/new-setting.ini"), "new in the package\n");
    EXPECT_FALSE(exists(d + "/Morvell-Update-Temp"));
    EXPECT_FALSE(exists(d + "/Morvell-Update-Config-Backup"));
    EXPECT_FALSE(exists(d + "/Morvell-Update-Config-Backup.partial"));
    EXPECT_TRUE(exists(d + "/install-info.json"));
  }
};

bool is_process_op(const std::string& op) {
  return op == "start_process" || op == "wait_process" || op == "launch_detached" || op == "list_processes" ||
         op == "terminate_process";
}
bool is_removal_op(const std::string& op) {
  return op.find("delete") != std::string::npos || op.find("remove") != std::string::npos;
}

}  // namespace

TEST(UpdateRun, MissingInputs) {
  UpdateBench bench;
  auto before = snapshot_tree(bench.d);
  EXPECT_FALSE(bench.run(""));
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"更新参数不完整。");
  EXPECT_TRUE(exists(bench.p));   // nothing named, nothing deleted

  EXPECT_FALSE(bench.run(bench.dir / "no-such-package.zip"));
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"更新包不存在。");
  EXPECT_EQ(snapshot_tree(bench.d), before);
  EXPECT_FALSE(busy);
  EXPECT_FALSE(exists(bench.dir / "program/Morvell-Installer-Temp"));

  // A folder that is no installation is never written over; nor is one missing.
  const std::string documents = bench.dir / "Documents";
  write_text(documents + "/config/settings.ini", "the user's own");
  for (const std::string& target : {documents, bench.dir / "missing"}) {
    auto all = snapshot_tree(bench.dir.path());
    all.erase("downloads/update.zip");   // the package is consumed whatever the outcome
    install_options.install_dir = target;
    install_options.package_path = bench.p;
    run_update();
    EXPECT_EQ(exit_code, 4);
    EXPECT_EQ(ui_trace.last_status, L"所选安装位置已存在且不是 Morvell 安装目录，请选择空文件夹或原安装目录。");
    EXPECT_EQ(snapshot_tree(bench.dir.path()), all) << target;
    EXPECT_EQ(read_text(documents + "/config/settings.ini"), "the user's own");
    EXPECT_FALSE(exists(bench.dir / "missing"));
    bench.make_package(bench.p);
  }

  // Another run holds the installation: after a few seconds' wait, 4 and the reason, untouched.
  plat::FileHandle held = plat::kNoFile;
  ASSERT_EQ(plat::try_lock_file(W(bench.d + ".lock"), held), plat::LockResult::Taken);
  bench.run(bench.p);
  plat::unlock_file(held, W(bench.d + ".lock"));
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"另一个安装或更新正在进行，请稍后重试。");
  EXPECT_EQ(snapshot_tree(bench.d), before);
  EXPECT_FALSE(exists(bench.d + ".lock"));
}

TEST(UpdateRun, KeepsTheConfigurationConsumesThePackageAndRestarts) {
  UpdateBench bench;
  EXPECT_FALSE(bench.run(bench.p));   // an idle callback: always false
  EXPECT_EQ(exit_code, 0);
  bench.expect_updated();
  EXPECT_FALSE(exists(bench.p));
  EXPECT_EQ(ui_trace.last_status, L"更新完成，正在重新启动 Morvell...");
  EXPECT_EQ(ui_trace.last_fraction, 1.0);
  EXPECT_FALSE(busy);
  // The updated application was started from its own folder, without arguments.
  EXPECT_EQ(bench.launches(), "started " + bench.d + "/bin 0\n");

  // An installation without configuration: no backup, nothing left behind.
  run_shell("rm -rf '" + bench.d + "/config'");
  bench.make_package(bench.p);
  bench.run(bench.p);
  EXPECT_EQ(exit_code, 0);
  EXPECT_EQ(read_text(bench.d + "/config/settings.ini"), "package=default\n");
  EXPECT_FALSE(exists(bench.d + "/Morvell-Update-Config-Backup"));
  EXPECT_FALSE(exists(bench.p));

  // A config that is a file of the user's is kept under a clear name, twice over.
  for (const std::string aside : {"config.user-file", "config.user-file-2"}) {
    run_shell("rm -rf '" + bench.d + "/config'");
    write_text(bench.d + "/config", "my own notes " + aside);
    bench.make_package(bench.p);
    bench.run(bench.p);
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(read_text(bench.d + "/config/settings.ini"), "package=default\n");
    EXPECT_EQ(read_text(bench.d + "/" + aside), "my own notes " + aside);
  }

  // Started with a link to the installation, whose configuration holds a socket the application
  // left: the folder the link names is updated, the link stays, the socket is passed by.
  const std::string link = bench.dir / "Morvell-Link", d = bench.d;
  ASSERT_EQ(symlink(d.c_str(), link.c_str()), 0);
  write_text(d + "/version.txt", "1.0\n");
  write_text(d + "/config/settings.ini", "user=changed\n");
  ASSERT_EQ(run_shell("python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' '" + d +
                      "/config/app.sock'"),
            0);
  bench.make_package(bench.p);
  bench.d = link;
  bench.run(bench.p);
  bench.d = d;
  EXPECT_EQ(exit_code, 0) << U(ui_trace.last_status);
  EXPECT_EQ(capture_shell("readlink '" + link + "'"), d + "\n");
  EXPECT_EQ(read_text(d + "/version.txt"), "2.0\n");
  EXPECT_EQ(read_text(d + "/config/settings.ini"), "user=changed\n");
  EXPECT_FALSE(exists(d + "/Morvell-Update-Temp"));
  EXPECT_FALSE(exists(d + "/Morvell-Update-Config-Backup"));
}

TEST(UpdateRun, UnpackFailureLeavesTheProgramFiles) {
  UpdateBench bench;
  write_text(bench.p, std::string(3000, 'x'));   // not a zip
  auto before = snapshot_tree(bench.d);
  bench.run(bench.p);
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"无法打开安装包。");
  EXPECT_FALSE(exists(bench.p));   // consumed after a failure too
  auto after = snapshot_tree(bench.d);
  for (auto it = after.begin(); it != after.end();)
    it = it->first.rfind("Morvell-Update-Temp", 0) == 0 ? after.erase(it) : std::next(it);
  EXPECT_EQ(after, before);
}

TEST(UpdateRun, LeftoversOfEarlierRunsAreCleared) {
  UpdateBench bench;
  // A backup kept by a run that could not put it back: the package's file replaced the user's.
  const std::string copy = bench.fail_leaving_backup();
  ASSERT_EQ(exit_code, 4);
  ASSERT_EQ(read_text(bench.d + "/config/settings.ini"), "package=default\n");
  write_text(bench.d + "/Morvell-Update-Temp/stale/file.txt", "stale");
  write_text(bench.d + "/Morvell-Update-Config-Backup.partial/config/settings.ini", "half a backup");
  bench.run(copy);
  EXPECT_EQ(exit_code, 0);
  bench.expect_updated();
  EXPECT_FALSE(exists(bench.d + "/stale"));
}

// A backup left behind is used only where config still holds what it recorded: a setting the user
// changed since stays, the rest goes back, and the backup is gone once all of it is settled.
TEST(UpdateRun, LeftBackupNeverOverwritesNewerSettings) {
  UpdateBench bench;
  write_text(bench.d + "/config/colour.ini", "colour=blue\n");
  write_text(bench.dir / "package-src/config/colour.ini", "colour=default\n");
  ASSERT_TRUE(make_zip(bench.dir / "package-src", bench.p));
  const std::string copy = bench.fail_leaving_backup();
  ASSERT_EQ(exit_code, 4);
  ASSERT_EQ(read_text(bench.d + "/Morvell-Update-Config-Backup/config/settings.ini"), "user=changed\n");
  // Later the user picks another setting; then an update runs again.
  write_text(bench.d + "/config/settings.ini", "theme=dark\n");
  bench.run(copy);
  EXPECT_EQ(exit_code, 0);
  EXPECT_EQ(read_text(bench.d + "/config/settings.ini"), "theme=dark\n");
  EXPECT_EQ(read_text(bench.d + "/config/colour.ini"), "colour=blue\n");
  EXPECT_EQ(read_text(bench.d + "/config/nested/mine.txt"), "only the user has this");
  EXPECT_FALSE(exists(bench.d + "/Morvell-Update-Config-Backup"));

  // A backup with no record of what it was taken from cannot be shown to be right: it is left
  // exactly as it is, with config, and the message says where it is.
  write_text(bench.d + "/Morvell-Update-Config-Backup/settings.ini", "theme=light\n");
  auto before = snapshot_tree(bench.d);
  bench.make_package(bench.p);
  bench.run(bench.p);
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"上次更新留下的用户配置备份无法核对，已保留在 " + W(bench.d) +
                                      L"/Morvell-Update-Config-Backup，请手动取回需要的文件并删除该备份后重试。");
  EXPECT_EQ(snapshot_tree(bench.d), before);
}

TEST(UpdateRun, WriteFailurePutsTheConfigurationBackAndTheNextRunCompletes) {
  UpdateBench bench;
  std::string copy = bench.dir / "downloads/second.zip";
  run_shell("cp '" + bench.p + "' '" + copy + "'");
  // Every write below bin fails: the move of the new files stops part-way.
  int failed = 0;
  plat::set_fault_hook([&failed](const char* op, const std::wstring& path) {
    std::string o = op, p = U(path);
    if (is_process_op(o) || is_removal_op(o)) return false;
    if (p.find("/bin") == std::string::npos) return false;
    ++failed;
    return true;
  });
  bench.run(bench.p);
  plat::set_fault_hook(nullptr);
  EXPECT_GT(failed, 0);
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"无法写入安装目录。");
  EXPECT_FALSE(exists(bench.p));
  EXPECT_FALSE(exists(bench.d + "/Morvell-Update-Temp"));
  EXPECT_EQ(read_text(bench.d + "/bin/Morvell.exe"), "old program");
  // The user's configuration is back in config at once, and the backup is gone.
  EXPECT_EQ(read_text(bench.d + "/config/settings.ini"), "user=changed\n");
  EXPECT_EQ(read_text(bench.d + "/config/nested/mine.txt"), "only the user has this");
  EXPECT_FALSE(exists(bench.d + "/Morvell-Update-Config-Backup"));
  EXPECT_EQ(read_text(bench.log), "");   // nothing started after a failure

  // The next run puts it back and completes.
  bench.run(copy);
  EXPECT_EQ(exit_code, 0);
  bench.expect_updated();
  EXPECT_NE(read_text(bench.d + "/bin/Morvell.exe"), "old program");
}

TEST(UpdateRun, RestoreFailureKeepsTheBackupAndTheNextRunRestoresIt) {
  UpdateBench bench;
  // Files cannot be moved back into config: the restore after the move cannot put them back.
  const std::string copy = bench.fail_leaving_backup();
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"更新已写入，但恢复用户配置失败，请检查安装目录权限。用户配置备份已保留在 " +
                                      W(bench.d) + L"/Morvell-Update-Config-Backup。");
  EXPECT_EQ(read_text(bench.d + "/version.txt"), "2.0\n");   // the program files are new
  EXPECT_FALSE(exists(bench.d + "/Morvell-Update-Temp"));
  EXPECT_EQ(read_text(bench.d + "/Morvell-Update-Config-Backup/config/settings.ini"), "user=changed\n");
  // A file the package did not touch needs no copy: config still holds it.
  EXPECT_EQ(read_text(bench.d + "/config/nested/mine.txt"), "only the user has this");
  EXPECT_FALSE(exists(bench.p));

  bench.run(copy);
  EXPECT_EQ(exit_code, 0);
  bench.expect_updated();
}

// A backup that cannot be put back at the start of a run stops that run and stays.
TEST(UpdateRun, StaleBackupThatCannotBeMergedStopsTheRun) {
  UpdateBench bench;
  const std::string copy = bench.fail_leaving_backup();
  ASSERT_EQ(exit_code, 4);
  const std::string program = read_text(bench.d + "/bin/Morvell.exe");
  plat::set_fault_hook(restore_fails);
  bench.run(copy);
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"无法备份当前配置，请确认安装目录可读写后重试。用户配置备份已保留在 " + W(bench.d) +
                                      L"/Morvell-Update-Config-Backup。");
  EXPECT_EQ(read_text(bench.d + "/Morvell-Update-Config-Backup/config/settings.ini"), "user=changed\n");
  EXPECT_EQ(read_text(bench.d + "/bin/Morvell.exe"), program);
  EXPECT_FALSE(exists(bench.d + "/Morvell-Update-Temp"));
}

// The process killed at points spread over a whole run; the next run always completes with the
// user's configuration intact.
TEST(UpdateRun, KilledAnywhereTheNextRunKeepsTheConfiguration) {
  UpdateBench bench;
  // Enough files that every step takes a while.
  std::string src = bench.dir / "package-src";
  for (int i = 0; i < 60; ++i) {
    write_text(bench.d + "/config/many/user-" + std::to_string(i) + ".ini", "mine " + std::to_string(i));
    write_text(src + "/config/many/user-" + std::to_string(i) + ".ini", "package " + std::to_string(i));
    write_text(src + "/lib/part-" + std::to_string(i) + ".bin", std::string(50000, 'p'));
  }
  ASSERT_TRUE(make_zip(src, bench.p));
  const std::string master = bench.dir / "master.zip";
  ASSERT_EQ(run_shell("cp '" + bench.p + "' '" + master + "'"), 0);

  auto user_config_intact = [&bench]() {
    for (int i = 0; i < 60; i += 7)
      if (read_text(bench.d + "/config/many/user-" + std::to_string(i) + ".ini") != "mine " + std::to_string(i))
        return false;
    return read_text(bench.d + "/config/settings.ini") == "user=changed\n" &&
           read_text(bench.d + "/config/nested/mine.txt") == "only the user has this";
  };

  // How long one whole run takes here.
  uint32_t start = plat::tick_ms();
  bench.run(bench.p);
  uint32_t whole = plat::tick_ms() - start;
  ASSERT_EQ(exit_code, 0);
  ASSERT_TRUE(user_config_intact());

  const int rounds = 7;
  for (int round = 0; round < rounds; ++round) {
    run_shell("cp '" + master + "' '" + bench.p + "'");
    install_options.install_dir = bench.d;
    install_options.package_path = bench.p;
    pid_t child = fork();
    if (child == 0) {
      run_update();
      _exit(0);
    }
    usleep(static_cast<useconds_t>(whole * 1000u * static_cast<uint32_t>(round) / static_cast<uint32_t>(rounds)));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    run_shell("cp '" + master + "' '" + bench.p + "'");
    bench.run(bench.p);
    EXPECT_EQ(exit_code, 0) << "round " << round;
    EXPECT_TRUE(user_config_intact()) << "round " << round;
    EXPECT_FALSE(exists(bench.d + "/Morvell-Update-Config-Backup")) << "round " << round;
    EXPECT_FALSE(exists(bench.d + "/Morvell-Update-Config-Backup.partial")) << "round " << round;
    EXPECT_FALSE(exists(bench.d + "/Morvell-Update-Temp")) << "round " << round;
  }
}
