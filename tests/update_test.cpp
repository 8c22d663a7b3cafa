// The update run in this process (no window): its steps, the configuration it keeps, what it
// leaves after failures injected through the fault seam, and the next run that mends them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "flows/messages.h"
#include "install/messages.h"
#include "install/rollback.h"
#include "install/settle.h"
#include "update_bench.h"

using namespace update_bench;

namespace {

// Files cannot be moved out of the configuration backup: putting the user's files back fails.
bool restore_fails(const char* op, const std::wstring& path) {
  return std::string(op) == "rename" && U(path).find("Morvell-Update-Config-Backup/config/") != std::string::npos;
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
  EXPECT_EQ(ui_trace.last_status, kPackageNotFound);
  EXPECT_EQ(snapshot_tree(bench.d), before);
  EXPECT_FALSE(busy);
  EXPECT_FALSE(exists(bench.dir / "program/Morvell-Installer-Temp"));

  // A folder that is no installation is never written over; nor is one missing. The package of
  // a refused run is kept: it may be a document of the user's given by mistake.
  const std::string documents = bench.dir / "Documents";
  write_text(documents + "/config/settings.ini", "the user's own");
  for (const std::string& target : {documents, bench.dir / "missing"}) {
    auto all = snapshot_tree(bench.dir.path());
    install_options.install_dir = target;
    install_options.package_path = bench.p;
    run_update();
    EXPECT_EQ(exit_code, 4);
    EXPECT_EQ(ui_trace.last_status, kNotAnInstallation);
    EXPECT_EQ(snapshot_tree(bench.dir.path()), all) << target;
    EXPECT_EQ(read_text(documents + "/config/settings.ini"), "the user's own");
    EXPECT_FALSE(exists(bench.dir / "missing"));
  }

  // Another run holds the installation: after a few seconds' wait, 4 and the reason, untouched.
  plat::FileHandle held = plat::kNoFile;
  ASSERT_EQ(plat::try_lock_file(W(bench.d + ".lock"), held), plat::LockResult::Taken);
  bench.run(bench.p);
  plat::unlock_file(held, W(bench.d + ".lock"));
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, kInstallationBusy);
  EXPECT_EQ(snapshot_tree(bench.d), before);
  EXPECT_FALSE(exists(bench.d + ".lock"));
  EXPECT_TRUE(exists(bench.p));

  // A package that holds no program is refused before anything in D is touched.
  run_shell("rm -f '" + bench.src + "/bin/Morvell.exe'");
  bench.zip_source(bench.p);
  bench.run(bench.p);
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, kProgramMissing);
  EXPECT_EQ(snapshot_tree(bench.d), before);
  EXPECT_FALSE(exists(bench.p));   // the update began: its package is consumed
  EXPECT_EQ(read_text(bench.log), "");
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
  EXPECT_EQ(ui_trace.last_status, kCannotOpenPackage);
  EXPECT_FALSE(exists(bench.p));   // consumed after a failure too
  auto after = snapshot_tree(bench.d);
  for (auto it = after.begin(); it != after.end();)
    it = it->first.rfind("Morvell-Update-Temp", 0) == 0 ? after.erase(it) : std::next(it);
  EXPECT_EQ(after, before);
}

TEST(UpdateRun, LeftoversOfEarlierRunsAreCleared) {
  UpdateBench bench;
  // An earlier version's update left its configuration backup (the package's file over the
  // user's) and a half-made one; a killed run left its unpacked tree, marked as the installer's.
  bench.leave_earlier_backup();
  ASSERT_EQ(read_text(bench.d + "/config/settings.ini"), "package=default\n");
  run_shell("mkdir -p '" + bench.d + "/Morvell-Update-Temp/.morvell-staging'");
  write_text(bench.d + "/Morvell-Update-Temp/stale/file.txt", "stale");
  write_text(bench.d + "/Morvell-Update-Config-Backup.partial/config/settings.ini", "half a backup");
  bench.run(bench.p);
  EXPECT_EQ(exit_code, 0) << U(ui_trace.last_status);
  bench.expect_updated();
  EXPECT_FALSE(exists(bench.d + "/stale"));

  // An unpacked tree without the installer's mark is not the installer's: the run stops, names
  // it and leaves it, and the package stays.
  write_text(bench.d + "/Morvell-Update-Temp/someone's/file.txt", "theirs");
  const auto before = snapshot_tree(bench.d);
  bench.make_package(bench.p);
  bench.run(bench.p);
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, W(bench.d) + L"/Morvell-Update-Temp 不是本安装程序为当前用户留下的，已原样保留。请检查并移走它后重试。");
  EXPECT_EQ(snapshot_tree(bench.d), before);
  EXPECT_TRUE(exists(bench.p));
}

// A backup left behind is used only where config still holds what it recorded: a setting the user
// changed since stays, the rest goes back, and the backup is gone once all of it is settled.
TEST(UpdateRun, LeftBackupNeverOverwritesNewerSettings) {
  UpdateBench bench;
  write_text(bench.d + "/config/colour.ini", "colour=blue\n");
  write_text(bench.dir / "package-src/config/colour.ini", "colour=default\n");
  ASSERT_TRUE(make_zip(bench.dir / "package-src", bench.p));
  bench.leave_earlier_backup();
  const std::string copy = bench.p;
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

// Writing stops part-way: every file already replaced goes back, every file added goes, and the
// installation is the tree it was, to the byte; the next run completes.
TEST(UpdateRun, WriteFailurePutsTheConfigurationBackAndTheNextRunCompletes) {
  UpdateBench bench;
  const std::string copy = bench.second_package();
  const auto before = snapshot_tree(bench.d);
  // Every write below bin fails: the new program cannot go into place.
  int failed = 0;
  plat::set_fault_hook([&failed](const char* op, const std::wstring& path) {
    std::string o = op, p = U(path);
    if (is_process_op(o) || is_removal_op(o)) return false;
    if (p.find("/bin") == std::string::npos || p.find("Morvell-Update-Temp") != std::string::npos) return false;
    ++failed;
    return true;
  });
  bench.run(bench.p);
  plat::set_fault_hook(nullptr);
  EXPECT_GT(failed, 0);
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"无法写入安装目录。已恢复更新前的版本。");
  EXPECT_FALSE(exists(bench.p));
  EXPECT_EQ(snapshot_tree(bench.d), before);
  EXPECT_EQ(read_text(bench.log), "");   // nothing started after a failure

  bench.run(copy);
  EXPECT_EQ(exit_code, 0);
  bench.expect_updated();
  EXPECT_EQ(read_text(bench.d + "/bin/Morvell.exe"), kNewProgram);
}

// A file that cannot be put back is tried again for a while (a scanner may hold it); when it
// stays so, the run names it, keeps the journal, and the next run finishes putting the previous
// version back. (The new program cannot be started here, so that the whole update is taken back.)
TEST(UpdateRun, FileThatCannotBePutBackIsRetriedThenNamed) {
  UpdateBench bench;
  set_put_back_retry_ms(300);
  const auto before = snapshot_tree(bench.d);
  int refusals = 0, refuse = 3;
  plat::set_fault_hook([&](const char* op, const std::wstring& path) {
    const std::string o = op;
    if (o == "launch_watched") return true;
    if (o != "delete_file" || U(path) != bench.d + "/docs/readme.txt" || refusals >= refuse) return false;
    ++refusals;
    return true;
  });
  // Held for a moment only: put back after a few tries.
  bench.run(bench.second_package());
  EXPECT_EQ(refusals, 3);
  EXPECT_EQ(ui_trace.last_status, L"新版本 Morvell 无法启动，已恢复到更新前的版本。");
  EXPECT_EQ(snapshot_tree(bench.d), before);
  EXPECT_EQ(bench.launches(), "old " + bench.d + "/bin\n");   // the previous version, started again

  refusals = 0;
  refuse = 1 << 30;
  bench.run(bench.second_package());
  plat::set_fault_hook(nullptr);
  set_put_back_retry_ms(0);
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"新版本 Morvell 无法启动。未能完全恢复更新前的版本：无法还原 " + W(bench.d) +
                                      L"/docs/readme.txt。请关闭占用它的程序后再运行一次安装或更新，未完成的恢复会接着进行。");
  EXPECT_TRUE(exists(bench.d + "/Morvell-Update-Rollback/journal"));
  std::wstring error;
  ASSERT_TRUE(settle_installation(W(bench.d), error)) << U(error);
  EXPECT_EQ(snapshot_tree(bench.d), before);
}

// A backup an earlier version left that cannot be put back at the start of a run stops that run
// before anything is written; it stays, and the next run restores it and updates.
TEST(UpdateRun, RestoreFailureKeepsTheBackupAndTheNextRunRestoresIt) {
  UpdateBench bench;
  bench.leave_earlier_backup();
  plat::set_fault_hook(restore_fails);
  bench.run(bench.p);
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"无法备份当前配置，请确认安装目录可读写后重试。用户配置备份已保留在 " +
                                      W(bench.d) + L"/Morvell-Update-Config-Backup。");
  EXPECT_EQ(read_text(bench.d + "/Morvell-Update-Config-Backup/config/settings.ini"), "user=changed\n");
  EXPECT_EQ(read_text(bench.d + "/config/nested/mine.txt"), "only the user has this");
  EXPECT_EQ(read_text(bench.d + "/version.txt"), "1.0\n");   // nothing of the update was written
  EXPECT_TRUE(exists(bench.p));   // refused before it began

  bench.run(bench.p);
  EXPECT_EQ(exit_code, 0);
  bench.expect_updated();
}

// A backup holding a file its manifest does not name cannot be shown right: the run stops with
// the kept-backup message and every file, of the backup and of config, stays where it is.
TEST(UpdateRun, StaleBackupThatCannotBeMergedStopsTheRun) {
  UpdateBench bench;
  bench.leave_earlier_backup();
  write_text(bench.d + "/Morvell-Update-Config-Backup/config/extra.ini", "named nowhere");
  const auto before = snapshot_tree(bench.d);
  bench.run(bench.p);
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(ui_trace.last_status, L"无法备份当前配置，请确认安装目录可读写后重试。用户配置备份已保留在 " + W(bench.d) +
                                      L"/Morvell-Update-Config-Backup。");
  EXPECT_EQ(snapshot_tree(bench.d), before);
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
