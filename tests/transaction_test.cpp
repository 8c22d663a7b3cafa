// The installation transaction on real trees: first installs, reinstalls over a user's
// configuration, leftovers of interrupted runs, every single operation failing in turn, and
// the process killed at random moments followed by a normal run.
#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>

#include "app/ui.h"
#include "common/strings.h"
#include "install/record.h"
#include "install/transaction.h"
#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

const std::wstring kStep8 = L"无法备份当前安装目录，请关闭正在运行的 Morvell 后重试。";
const std::wstring kStep9 = L"无法写入安装目录，请关闭正在运行的 Morvell 后重试。";
const std::wstring kStep10 = L"无法恢复当前配置，安装已回滚，请确认安装目录可读写后重试。";

bool designed_failure(const std::wstring& error) {
  static const std::set<std::wstring> texts = {
      L"无法关闭正在运行的 Morvell，请手动退出后重试。", L"安装包为空或无法读取。", L"解压安装包失败。",
      L"无法初始化系统解压组件。", L"无法打开安装包。", L"无法打开安装目录。", L"解压安装包超时。",
      kStep8, kStep9, kStep10};
  return texts.count(error) != 0;
}

struct EnvGuard {
  std::map<std::string, std::string> saved;
  explicit EnvGuard(std::initializer_list<const char*> names) {
    for (const char* name : names) saved[name] = plat::environment_value(name);
  }
  ~EnvGuard() {
    for (const auto& item : saved) {
      if (item.second.empty()) unsetenv(item.first.c_str());
      else setenv(item.first.c_str(), item.second.c_str(), 1);
    }
  }
};

// A package (6.1.17), a previous installation with a user's configuration, and a private home.
struct Scene {
  TempDir tmp;
  EnvGuard env{"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "MORVELL_TEST_LAUNCH_LOG"};
  std::string home = tmp / "home";
  std::string package = tmp / "Morvell-6.1.17.zip";
  std::string old_tree = tmp / "old-install";
  std::string dir = tmp / "Apps/Morvell 墨韵";

  Scene() {
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    unsetenv("MORVELL_TEST_LAUNCH_LOG");
    const std::string src = tmp / "package-src";
    write_text(src + "/bin/Morvell.exe",
               "#!/bin/sh\n[ -n \"$MORVELL_TEST_LAUNCH_LOG\" ] && pwd >> \"$MORVELL_TEST_LAUNCH_LOG\"\nexit 0\n");
    run_shell("chmod 755 '" + src + "/bin/Morvell.exe'");
    for (int i = 0; i < 60; ++i) write_text(src + "/lib/part" + std::to_string(i) + ".dat", std::string(2000 + i, 'n'));
    write_text(src + "/readme.txt", "Morvell 6.1.17");
    write_text(src + "/config/settings.ini", "shipped default");
    write_text(src + "/config/package-only.ini", "shipped only");
    EXPECT_TRUE(make_zip(src, package));

    write_text(old_tree + "/bin/Morvell.exe", "#!/bin/sh\nexit 0\n");
    write_text(old_tree + "/readme.txt", "Morvell 6.1.16");
    write_text(old_tree + "/old-only.txt", "goes away");
    write_text(old_tree + "/config/settings.ini", "user setting");
    write_text(old_tree + "/config/sub/user.txt", "mine");
    write_text(old_tree + "/config/empty.cfg", "");
    for (int i = 0; i < 20; ++i) write_text(old_tree + "/config/many/" + std::to_string(i) + ".cfg", "user " + std::to_string(i));
    run_shell("mkdir -p '" + tmp / "Apps" + "'");
  }

  std::wstring D() const { return W(dir); }
  void put_old_install(const std::string& where) const {
    run_shell("rm -rf '" + where + "' && cp -a '" + old_tree + "' '" + where + "'");
  }
  void reset() const {
    run_shell("rm -rf '" + dir + "' '" + dir + ".new' '" + dir + ".old' '" + dir + ".swap'");
    put_old_install(dir);
  }
  bool install(std::wstring& error, bool shortcuts = false, bool launch = false) const {
    return install_package(W(package), D(), shortcuts, shortcuts, launch, error);
  }

  // The new version with the user's configuration merged in.
  ::testing::AssertionResult new_with_user_config() const {
    auto snap = snapshot_tree(dir);
    if (snap["readme.txt"] != "Morvell 6.1.17") return ::testing::AssertionFailure() << "not the new version";
    if (snap.count("old-only.txt")) return ::testing::AssertionFailure() << "old file survived";
    if (snap["lib/part59.dat"].size() != 2059) return ::testing::AssertionFailure() << "package incomplete";
    if (snap["config/settings.ini"] != "user setting") return ::testing::AssertionFailure() << "user setting lost";
    if (snap["config/package-only.ini"] != "shipped only") return ::testing::AssertionFailure() << "package config lost";
    if (snap["config/sub/user.txt"] != "mine" || !snap.count("config/empty.cfg"))
      return ::testing::AssertionFailure() << "user files lost";
    for (int i = 0; i < 20; ++i)
      if (snap["config/many/" + std::to_string(i) + ".cfg"] != "user " + std::to_string(i))
        return ::testing::AssertionFailure() << "user file " << i << " lost";
    return ::testing::AssertionSuccess();
  }
  bool no_leftovers() const { return !exists(dir + ".new") && !exists(dir + ".old") && !exists(dir + ".swap"); }
};

}  // namespace

TEST(Transaction, FirstInstallShortcutsRecordAndLaunch) {
  Scene scene;
  const std::string log = scene.tmp / "launch.log";
  setenv("MORVELL_TEST_LAUNCH_LOG", log.c_str(), 1);
  std::wstring error;
  ASSERT_TRUE(scene.install(error, true, true)) << U(error);
  auto snap = snapshot_tree(scene.dir);
  EXPECT_EQ(snap["readme.txt"], "Morvell 6.1.17");
  EXPECT_EQ(snap["config/settings.ini"], "shipped default");
  EXPECT_EQ(snap["install-info.json"], install_record_text(scene.D()));
  EXPECT_EQ(snap["bin/Morvell-Uninstall.exe"], read_text(self_path()));
  EXPECT_TRUE(scene.no_leftovers());
  EXPECT_EQ(ui_trace.last_status, L"正在创建快捷方式...");

  const std::string desktop = scene.home + "/Desktop/Morvell.desktop";
  const std::string menu = scene.home + "/.local/share/applications/Morvell";
  ASSERT_TRUE(exists(desktop));
  EXPECT_NE(read_text(desktop).find("Path=" + scene.dir + "/bin\n"), std::string::npos);
  EXPECT_TRUE(exists(menu + "/Morvell.desktop"));
  EXPECT_NE(read_text(menu + "/卸载 Morvell.desktop").find("Morvell-Uninstall.exe\" --uninstall\n"), std::string::npos);

  // The application was started in its own directory.
  for (int i = 0; i < 100 && read_text(log).empty(); ++i) plat::sleep_ms(50);
  EXPECT_EQ(read_text(log), scene.dir + "/bin\n");
}

TEST(Transaction, ReinstallKeepsUserConfiguration) {
  Scene scene;
  scene.reset();
  std::wstring error;
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());
  // Flags off: no shortcut touched, nothing started, the record written all the same.
  EXPECT_FALSE(exists(scene.home));
  EXPECT_TRUE(exists(scene.dir + "/install-info.json"));

  // Without a configuration, the package's own stays as shipped.
  scene.reset();
  run_shell("rm -rf '" + scene.dir + "/config'");
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_EQ(read_text(scene.dir + "/config/settings.ini"), "shipped default");
  EXPECT_TRUE(scene.no_leftovers());
}

TEST(Transaction, LeftoversOfEarlierRuns) {
  Scene scene;
  std::wstring error;
  // Stale staging and backup trees beside a sound installation are removed, not used.
  scene.reset();
  write_text(scene.dir + ".new/junk", "x");
  write_text(scene.dir + ".old/config/settings.ini", "stale backup");
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());

  // Died between the two renames without a journal: the backup is the installation.
  run_shell("rm -rf '" + scene.dir + "'");
  scene.put_old_install(scene.dir + ".old");
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());

  // Died during the configuration merge: the journal says the backup is the installation.
  run_shell("rm -rf '" + scene.dir + "'");
  scene.put_old_install(scene.dir + ".old");
  write_text(scene.dir + "/readme.txt", "half a new version");
  write_text(scene.dir + "/config/settings.ini", "half merged");
  write_text(scene.dir + ".swap", "journal");
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());

  // Died after writing the journal, before moving the installation aside.
  scene.reset();
  write_text(scene.dir + ".swap", "journal");
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());
}

TEST(Transaction, FailedRollbackKeepsTheBackup) {
  Scene scene;
  run_shell("rm -rf '" + scene.dir + "'");
  scene.put_old_install(scene.dir + ".old");
  write_text(scene.dir + "/partial.txt", "half a new version");
  write_text(scene.dir + ".swap", "journal");
  const auto backup = snapshot_tree(scene.dir + ".old");
  std::wstring error;
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "rename"; });
  EXPECT_FALSE(scene.install(error));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(error, L"无法回滚安装，原安装已保留在 " + scene.D() + L".old，请手动恢复后重试。");
  EXPECT_EQ(snapshot_tree(scene.dir + ".old"), backup);
  EXPECT_TRUE(exists(scene.dir + ".swap"));
  // A later run does not take the kept backup for stale: it restores it, then installs.
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());

  // The new tree cannot be cleared away before the rollback: the backup stays as well.
  run_shell("rm -rf '" + scene.dir + "'");
  scene.put_old_install(scene.dir + ".old");
  write_text(scene.dir + "/partial.txt", "half a new version");
  write_text(scene.dir + ".swap", "journal");
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "delete_tree"; });
  EXPECT_FALSE(scene.install(error));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(error, L"无法回滚安装，原安装已保留在 " + scene.D() + L".old，请手动恢复后重试。");
  EXPECT_EQ(snapshot_tree(scene.dir + ".old"), backup);
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
}

TEST(Transaction, DesignedFailuresLeaveTheInstallation) {
  Scene scene;
  std::wstring error;
  // A package that is not a zip.
  scene.reset();
  auto before = snapshot_tree(scene.dir);
  write_text(scene.tmp / "broken.zip", "this is not an archive");
  EXPECT_FALSE(install_package(W(scene.tmp / "broken.zip"), scene.D(), false, false, false, error));
  EXPECT_TRUE(designed_failure(error)) << U(error);
  EXPECT_EQ(snapshot_tree(scene.dir), before);
  EXPECT_TRUE(scene.no_leftovers());

  // The installation cannot be moved aside.
  plat::set_fault_hook([&scene](const char* op, const std::wstring& path) {
    return std::string(op) == "rename" && path == scene.D();
  });
  EXPECT_FALSE(scene.install(error));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(error, kStep8);
  EXPECT_EQ(snapshot_tree(scene.dir), before);
  EXPECT_TRUE(scene.no_leftovers());

  // The configuration cannot be carried across: rolled back.
  plat::set_fault_hook([](const char* op, const std::wstring& path) {
    return std::string(op) == "copy_file" && path.find(L"/config/sub/") != std::wstring::npos;
  });
  EXPECT_FALSE(scene.install(error));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(error, kStep10);
  EXPECT_EQ(snapshot_tree(scene.dir), before);
  EXPECT_TRUE(scene.no_leftovers());

  // A directory given with a trailing separator puts staging and backup inside it.
  EXPECT_FALSE(install_package(W(scene.package), W(scene.dir + "/"), false, false, false, error));
  EXPECT_EQ(error, kStep8);
  EXPECT_EQ(snapshot_tree(scene.dir), before);
}

TEST(Transaction, ShellFoldersUnknownOrUnwritable) {
  Scene scene;
  std::wstring error;
  unsetenv("HOME");
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_CONFIG_HOME");
  ASSERT_TRUE(scene.install(error, true, false)) << U(error);
  EXPECT_EQ(read_text(scene.dir + "/readme.txt"), "Morvell 6.1.17");

  write_text(scene.tmp / "blocker", "a file where the home should be");
  setenv("HOME", (scene.tmp / "blocker/home").c_str(), 1);
  scene.reset();
  ASSERT_TRUE(scene.install(error, true, false)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());
}

// Fails the 1st, 2nd, ... operation of the transaction, one run each, from the state that
// `prepare` leaves. Every run must end in one of the allowed ways: the designed failure with
// the installation exactly as before and nothing staged; success with the new version and the
// user's configuration; or, when an interrupted swap could not be put back, the rollback
// message with the backup and its journal kept. A normal run afterwards always succeeds.
void sweep_failing_operations(const Scene& scene, const std::function<void()>& prepare, bool had_install) {
  scene.reset();
  const auto before = snapshot_tree(scene.dir);
  const std::wstring kept = L"无法回滚安装，原安装已保留在 " + scene.D() + L".old，请手动恢复后重试。";
  int failures = 0, successes = 0, kept_backups = 0;
  for (int n = 1; n < 3000; ++n) {
    prepare();
    int count = 0;
    std::string failed_op;
    plat::set_fault_hook([&](const char* op, const std::wstring& path) {
      if (++count != n) return false;
      failed_op = std::string(op) + " " + U(path);
      return true;
    });
    std::wstring error;
    bool ok = scene.install(error, true, false);
    plat::set_fault_hook(nullptr);
    if (count < n) break;   // the run finished before the n-th operation: all covered
    SCOPED_TRACE("operation " + std::to_string(n) + " failed: " + failed_op + ", error: " + U(error));
    EXPECT_FALSE(exists(scene.dir + ".new"));
    if (ok) {
      ++successes;
      if (had_install) {
        EXPECT_TRUE(scene.new_with_user_config());
      } else {
        EXPECT_EQ(read_text(scene.dir + "/readme.txt"), "Morvell 6.1.17");
      }
      EXPECT_FALSE(exists(scene.dir + ".swap"));
    } else if (error == kept) {
      ++kept_backups;
      EXPECT_EQ(snapshot_tree(scene.dir + ".old"), before);
      EXPECT_TRUE(exists(scene.dir + ".swap"));
    } else {
      ++failures;
      EXPECT_TRUE(designed_failure(error));
      if (had_install) {
        EXPECT_EQ(snapshot_tree(scene.dir), before);
      } else {
        EXPECT_FALSE(exists(scene.dir));
      }
      EXPECT_FALSE(exists(scene.dir + ".old"));
      EXPECT_FALSE(exists(scene.dir + ".swap"));
    }
    ASSERT_TRUE(scene.install(error)) << U(error);
    if (had_install) {
      EXPECT_TRUE(scene.new_with_user_config());
    }
    EXPECT_TRUE(scene.no_leftovers());
    if (::testing::Test::HasFailure()) break;
  }
  std::printf("operations failed in turn: %d designed failures, %d successes, %d kept backups\n", failures,
              successes, kept_backups);
  EXPECT_GT(failures, had_install ? 3 : 0);
  EXPECT_GT(successes, 3);
}

TEST(Transaction, EveryFailingOperation) {
  Scene scene;
  sweep_failing_operations(scene, [&scene]() { scene.reset(); }, true);
}

TEST(Transaction, EveryFailingOperationOfAFirstInstall) {
  Scene scene;
  sweep_failing_operations(
      scene, [&scene]() { run_shell("rm -rf '" + scene.dir + "' '" + scene.dir + ".new' '" + scene.dir + ".old' '" + scene.dir + ".swap'"); },
      false);
}

TEST(Transaction, EveryFailingOperationWhilePuttingBackAnInterruptedSwap) {
  Scene scene;
  sweep_failing_operations(
      scene,
      [&scene]() {
        run_shell("rm -rf '" + scene.dir + "' '" + scene.dir + ".new' '" + scene.dir + ".swap'");
        scene.put_old_install(scene.dir + ".old");
        write_text(scene.dir + "/readme.txt", "half a new version");
        write_text(scene.dir + "/config/settings.ini", "half merged");
        write_text(scene.dir + ".swap", "journal");
      },
      true);
}

// Kills a child running the transaction at random moments; a normal run afterwards must leave
// the new version with every user configuration file.
TEST(Transaction, KilledAtAnyMomentThenRunAgain) {
  Scene scene;
  // Programs the killed child started (unpacker, rm) become ours to reap, not init's.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  auto run_child = [&scene](uint32_t kill_after_us, bool& finished) {
    pid_t pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      std::wstring error;
      _exit(scene.install(error, true, false) ? 0 : 3);
    }
    setpgid(pid, pid);
    int status = 0;
    if (kill_after_us) {
      usleep(kill_after_us);
      kill(pid, SIGKILL);
    }
    waitpid(pid, &status, 0);
    finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    // Let whatever the child started end by itself (bounded), then reap it.
    for (int i = 0; i < 100; ++i) {
      if (kill(-pid, 0) != 0 && errno == ESRCH) break;
      while (waitpid(-pid, nullptr, WNOHANG) > 0) {
      }
      usleep(50000);
    }
    kill(-pid, SIGKILL);
    while (waitpid(-pid, nullptr, 0) > 0) {
    }
  };

  scene.reset();
  auto start = std::chrono::steady_clock::now();
  bool finished = false;
  run_child(0, finished);
  ASSERT_TRUE(finished);
  const auto full = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  std::mt19937 random(12345);
  std::uniform_int_distribution<uint32_t> moment(1, static_cast<uint32_t>(full.count() * 11 / 10) + 1);
  int interrupted = 0;
  for (int round = 0; round < 30; ++round) {
    scene.reset();
    uint32_t at = moment(random);
    run_child(at, finished);
    if (!finished) ++interrupted;
    SCOPED_TRACE("killed after " + std::to_string(at) + " us");
    std::wstring error;
    ASSERT_TRUE(scene.install(error)) << U(error);
    EXPECT_TRUE(scene.new_with_user_config());
    EXPECT_TRUE(scene.no_leftovers());
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  std::printf("full run %lld us; %d of 30 runs killed before they finished\n", static_cast<long long>(full.count()),
              interrupted);
  EXPECT_GT(interrupted, 10);
}
