// Installs, updates and offline installs killed (SIGKILL) at random moments, 50 times each, each
// followed at once by a normal run: afterwards the installation works and every file of the
// user's configuration is byte for byte what it was. Each killed install has a second install on
// the same installation started beside it, kept apart by the installation's lock. The seed is
// printed; MORVELL_KILL_SEED=<n> runs the same moments again, MORVELL_KILL_ROUNDS=<n> runs n
// rounds instead of 50.
#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "common/state.h"
#include "common/strings.h"
#include "flows/uninstall.h"
#include "flows/update.h"
#include "install/settle.h"
#include "install/transaction.h"
#include "package/workdir.h"
#include "platform/platform.h"
#include "support/build_paths.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

constexpr int kRunLimitMs = 30000;

using Tree = std::map<std::string, std::string>;

// The install record of an installation at `dir`.
std::string record_for(const std::string& dir) {
  return "{\n  \"app_exe\": \"bin/Morvell.exe\",\n  \"install_dir\": \"" + dir +
         "\",\n  \"uninstaller\": \"bin/Morvell-Uninstall.exe\",\n  \"version\": \"6.1.17\"\n}";
}

// 50 rounds; MORVELL_KILL_ROUNDS=<n> runs more (or fewer).
int rounds() {
  const char* text = std::getenv("MORVELL_KILL_ROUNDS");
  int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : 50;
}

uint32_t chosen_seed() {
  const char* text = std::getenv("MORVELL_KILL_SEED");
  if (text && *text) return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
  return std::random_device{}();
}

int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Starts `body` in a child of its own process group; the child ends with what body returns.
pid_t start_child(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    _exit(body());
  }
  if (pid > 0) setpgid(pid, pid);
  return pid;
}

// Waits (bounded) for the child; its exit code, or -1 when it was killed or did not end.
int wait_child(pid_t pid) {
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 2) {
    if (waited > kRunLimitMs) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(2000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether every process of the group has ended within `limit_ms`; the orphans among them are
// ours (we are their subreaper) and reaped here.
bool group_gone(pid_t group, int limit_ms) {
  for (int waited = 0;; waited += 10) {
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    if (kill(-group, 0) != 0 && errno == ESRCH) return true;
    if (waited >= limit_ms) break;
    usleep(10000);
  }
  kill(-group, SIGKILL);
  while (waitpid(-group, nullptr, WNOHANG) > 0) {
  }
  return false;
}

// A package (2.0), an earlier installation (1.0) with the user's configuration, a private home.
struct Bench {
  TempDir tmp;
  std::map<std::string, std::string> saved_env;
  std::string home = tmp / "home";
  std::string source = tmp / "package-src";
  std::string package = tmp / "Morvell-2.0.zip";
  std::string old_tree = tmp / "old-install";
  std::string dir = tmp / "Apps/Morvell 墨韵";
  Tree package_files, old_files, user_config;

  explicit Bench(size_t blob_size = 1 << 20) {
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "MORVELL_KILL_APP_LOG"})
      saved_env[name] = plat::environment_value(name);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    unsetenv("MORVELL_KILL_APP_LOG");

    write_text(source + "/bin/Morvell.exe",
               "#!/bin/sh\n[ -n \"$MORVELL_KILL_APP_LOG\" ] && echo started >> \"$MORVELL_KILL_APP_LOG\"\nexit 0\n");
    chmod((source + "/bin/Morvell.exe").c_str(), 0755);
    for (int i = 0; i < 20; ++i) write_text(source + "/lib/part-" + std::to_string(i) + ".dat", std::string(3000 + i, 'n'));
    // Bytes that do not compress, so that the package has some weight to copy and unpack.
    std::mt19937 bytes(7);
    std::string blob(blob_size, '\0');
    for (char& c : blob) c = static_cast<char>(bytes());
    write_text(source + "/data/blob.bin", blob);
    write_text(source + "/version.txt", "2.0\n");
    write_text(source + "/config/settings.ini", "shipped default\n");
    write_text(source + "/config/package-only.ini", "shipped only\n");
    EXPECT_TRUE(make_zip(source, package));
    package_files = snapshot_tree(source);

    write_text(old_tree + "/bin/Morvell.exe", "#!/bin/sh\nexit 0\n");
    write_text(old_tree + "/version.txt", "1.0\n");
    write_text(old_tree + "/old-only.txt", "only the old version has this");
    write_text(old_tree + "/config/settings.ini", "user setting\n");
    write_text(old_tree + "/config/sub/deeper/user.txt", "mine");
    write_text(old_tree + "/config/empty.cfg", "");
    std::string binary;
    for (int i = 0; i < 1024; ++i) binary += static_cast<char>(i * 37);
    write_text(old_tree + "/config/state.bin", binary);
    for (int i = 0; i < 30; ++i)
      write_text(old_tree + "/config/many/" + std::to_string(i) + ".cfg", "user " + std::to_string(i) + "\n");
    old_files = snapshot_tree(old_tree);
    for (const auto& item : old_files)
      if (item.first.rfind("config/", 0) == 0) user_config[item.first] = item.second;
    old_files["install-info.json"] = record_for(dir);   // what makes it an installation (reset)
    run_shell("mkdir -p '" + tmp / "Apps" + "'");
  }
  ~Bench() {
    for (const auto& item : saved_env) {
      if (item.second.empty()) unsetenv(item.first.c_str());
      else setenv(item.first.c_str(), item.second.c_str(), 1);
    }
  }

  void reset() const {
    run_shell("rm -rf '" + dir + "' '" + dir + ".new' '" + dir + ".old' '" + dir + ".swap' && cp -a '" + old_tree +
              "' '" + dir + "'");
    write_text(dir + "/install-info.json", record_for(dir));
  }

  // What the installation must hold: the package's files (over the old ones when an update
  // keeps those), the user's configuration over the package's, the uninstaller and the record.
  Tree expected(bool keeps_old_files, const std::string& uninstaller) const {
    Tree tree = keeps_old_files ? old_files : Tree();
    for (const auto& item : package_files) tree[item.first] = item.second;
    for (const auto& item : user_config) tree[item.first] = item.second;
    tree["bin/Morvell-Uninstall.exe"] = uninstaller;
    tree["install-info.json"] = record_for(dir);
    return tree;
  }

  // A word on where a killed run stopped, judged by what it left.
  std::string left_behind(const std::string& work_dir, const std::string& payload = "") const {
    const std::string copy = work_dir + "/Morvell-offline-package.zip";
    if (!payload.empty() && exists(copy) && read_text(copy).size() < payload.size()) return "partial-payload-copy";
    if (exists(dir + ".swap")) return exists(dir + ".old") ? "swap-journal" : "journal-before-swap";
    if (exists(dir + ".new")) return "staging";
    if (exists(dir + ".old")) return "stale-backup";
    if (exists(dir + "/Morvell-Update-Config-Backup.partial")) return "partial-config-backup";
    if (exists(dir + "/Morvell-Update-Config-Backup")) return "config-backup";
    if (exists(dir + "/Morvell-Update-Rollback/journal")) {
      const std::string journal = read_text(dir + "/Morvell-Update-Rollback/journal");
      return journal.find("phase reverting") != std::string::npos ? "update-reverting"
             : journal.find("phase written") != std::string::npos ? "update-written" : "update-writing";
    }
    if (exists(dir + "/Morvell-Update-Rollback")) return "rollback-area";
    if (exists(dir + "/Morvell-Update-Temp")) return "update-staging";
    if (read_text(dir + "/version.txt") == "1.0\n") return exists(work_dir) ? "payload-copied" : "not-begun";
    if (read_text(dir + "/install-info.json") != record_for(dir)) return "no-record";
    return exists(work_dir) ? "work-folder" : "finished";
  }

  ::testing::AssertionResult works(const Tree& expected, const std::string& work_dir) const {
    Tree tree = snapshot_tree(dir);
    for (const auto& item : user_config) {
      auto found = tree.find(item.first);
      if (found == tree.end() || found->second != item.second)
        return ::testing::AssertionFailure() << "the user's " << item.first << " is lost or changed";
    }
    for (const auto& item : expected) {
      auto found = tree.find(item.first);
      if (found == tree.end()) return ::testing::AssertionFailure() << item.first << " is missing";
      if (found->second != item.second) return ::testing::AssertionFailure() << item.first << " is not intact";
    }
    for (const auto& item : tree)
      if (!expected.count(item.first)) return ::testing::AssertionFailure() << "stray file " << item.first;
    struct stat st;
    if (stat((dir + "/bin/Morvell.exe").c_str(), &st) != 0 || !(st.st_mode & S_IXUSR))
      return ::testing::AssertionFailure() << "bin/Morvell.exe cannot be run";
    for (const std::string& left : {dir + ".new", dir + ".old", dir + ".swap", dir + ".lock", dir + "/Morvell-Update-Temp",
                                    dir + "/Morvell-Update-Rollback",
                                    dir + "/Morvell-Update-Config-Backup",
                                    dir + "/Morvell-Update-Config-Backup.partial", work_dir})
      if (exists(left)) return ::testing::AssertionFailure() << "left behind: " << left;
    return ::testing::AssertionSuccess();
  }
};

// Where an update stands, for kills aimed at its writing: 0 before its journal, 1 while it writes
// the new version, 2 once the journal says the new version is whole.
int update_writing_phase(const std::string& dir) {
  const std::string journal = read_text(dir + "/Morvell-Update-Rollback/journal");
  if (journal.empty()) return 0;
  return journal.find("phase written") == std::string::npos ? 1 : 2;
}

// While it lives, programs orphaned by the runs we kill become ours to see and reap.
struct Subreaper {
  Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~Subreaper() {
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }
};

// The moments of one unkilled run: when its work was done (the end of the run, or `work_done`
// for runs that linger after their work), and the span of one phase of it: from the last look
// that saw it not yet begun (`phase` 0) to the first that saw it done (`phase` 2).
struct Timeline {
  int64_t work = 0, phase_begin = 0, phase_end = 0;
};

bool measure(const std::function<pid_t()>& start, const std::function<bool()>& work_done,
             const std::function<int()>& phase, Timeline& timeline) {
  const pid_t pid = start();   // timed from here, as the kills are
  const int64_t begin = now_us();
  int status = 0;
  for (;;) {
    const int64_t t = now_us() - begin;
    if (phase && !timeline.phase_end) {
      const int seen = phase();
      if (seen == 0) timeline.phase_begin = t;
      if (seen == 2) timeline.phase_end = t;
    }
    if (work_done && !timeline.work && work_done()) timeline.work = t;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      if (!timeline.work) timeline.work = t;
      break;
    }
    if (t > kRunLimitMs * 1000LL) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    usleep(200);
  }
  group_gone(pid, 2000);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The loop: one unkilled run is timed (the faster of two); then each round starts from the
// earlier installation, a run is killed at a random moment within its length (and a tenth
// beyond; every other round within the span of `phase`, when given), a normal
// run follows at once (`then` when given, else the same kind of run) and must succeed, the
// installation must work, and nothing the killed run started may outlive it by long. With
// `rival`, a second run on the same installation starts beside each killed one and must succeed
// and leave a working installation before the normal run. With `settled`, what the kill left is
// judged right after it, before the normal run.
void kill_loop(const std::string& what, const Bench& bench, const std::function<pid_t()>& start,
               const std::function<::testing::AssertionResult()>& works,
               const std::function<std::string()>& left_behind, const std::function<bool()>& work_done = nullptr,
               const std::function<int()>& phase = nullptr, const std::function<pid_t()>& then = nullptr,
               bool rival = false, const std::function<::testing::AssertionResult()>& settled = nullptr) {
  const std::function<pid_t()>& follow = then ? then : start;
  Subreaper subreaper;
  Timeline fastest{INT64_MAX, 0, 0};
  for (int i = 0; i < 3; ++i) {   // the fastest of three: one slow moment of the machine does not count
    bench.reset();
    Timeline timeline;
    ASSERT_TRUE(measure(start, work_done, phase, timeline)) << what << ": an unkilled run failed";
    if (then) {
      ASSERT_EQ(wait_child(then()), 0) << what << ": the run after an unkilled one failed";
    }
    ASSERT_TRUE(works()) << what << ": an unkilled run";
    if (timeline.work < fastest.work) fastest = timeline;
  }
  const int64_t full = fastest.work;
  const uint32_t seed = chosen_seed();
  std::printf("%s: one run takes %lld us", what.c_str(), static_cast<long long>(full));
  if (phase)
    std::printf(" (the phase from %lld to %lld us)", static_cast<long long>(fastest.phase_begin),
                static_cast<long long>(fastest.phase_end));
  std::printf("; seed %u (MORVELL_KILL_SEED=%u replays it)\n", seed, seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int64_t> anywhere(0, full * 11 / 10),
      in_phase(fastest.phase_begin, std::max(fastest.phase_begin, fastest.phase_end));
  const int kRounds = rounds();
  int interrupted = 0;
  std::map<std::string, int> states;   // what the killed runs left, for the record
  for (int round = 0; round < kRounds; ++round) {
    bench.reset();
    const int64_t at = phase && round % 2 == 1 ? in_phase(random) : anywhere(random);
    SCOPED_TRACE(what + ", seed " + std::to_string(seed) + ", round " + std::to_string(round) + ", killed after " +
                 std::to_string(at) + " us");
    pid_t killed = start();
    ASSERT_GT(killed, 0);
    const int64_t begin = now_us();
    const pid_t beside = rival ? start() : 0;
    if (at > 0) usleep(static_cast<useconds_t>(at));
    kill(killed, SIGKILL);
    const int64_t landed = now_us() - begin;
    int status = 0;
    waitpid(killed, &status, 0);
    if (WIFSIGNALED(status)) ++interrupted;
    ++states[left_behind()];
    if (settled) {
      EXPECT_TRUE(settled()) << "kill landed at " << landed << " us";
    }
    if (beside > 0) {
      // The killed run may have waited for the lock and begun after this one ended, so what it left
      // is for the normal run below to clear; this one must simply have worked.
      EXPECT_EQ(wait_child(beside), 0) << "the run beside the killed one failed (kill landed at " << landed << " us)";
      group_gone(beside, 2000);
    }

    const int code = wait_child(follow());
    const bool helpers_gone = group_gone(killed, 2000);
    EXPECT_EQ(code, 0) << "the run after the kill failed (kill landed at " << landed << " us)";
    EXPECT_TRUE(works()) << "kill landed at " << landed << " us";
    EXPECT_TRUE(helpers_gone) << "what the killed run started was still running 2 s later";
    while (waitpid(-1, nullptr, WNOHANG) > 0) {   // detached programs adopted by us
    }
    if (::testing::Test::HasFailure()) break;
  }
  std::printf("%s: %d of %d runs killed before they ended; left behind:", what.c_str(), interrupted, kRounds);
  for (const auto& item : states) std::printf(" %s %d,", item.first.c_str(), item.second);
  std::printf("\n");
  EXPECT_GT(interrupted, kRounds / 4);   // most kills land while the run works
}

}  // namespace

// The installation transaction (unpack, swap, carry the configuration, record, shortcuts) in a
// child of this test program. The runs take turns with the unpackers: bsdtar, then unzip (a
// bsdtar that fails stands in front of it), then the built-in one (unzip fails as well).
TEST(KillLoops, Install) {
  Bench bench;
  const Tree expected = bench.expected(false, read_text(self_path()));
  const std::string path = plat::environment_value("PATH");
  const std::string no_bsdtar = bench.tmp / "no-bsdtar", no_tools = bench.tmp / "no-tools";
  for (const std::string& stub : {no_bsdtar + "/bsdtar", no_tools + "/bsdtar", no_tools + "/unzip"}) {
    write_text(stub, "#!/bin/sh\nexit 1\n");
    chmod(stub.c_str(), 0755);
  }
  const std::string paths[] = {path, no_bsdtar + ":" + path, no_tools + ":" + path};
  int runs = 0;
  auto start = [&]() {
    const std::string& search = paths[runs++ % 3];
    return start_child([&]() {
      setenv("PATH", search.c_str(), 1);
      std::wstring error;
      return install_package(W(bench.package), W(bench.dir), InstallOptions::choosing(true, true, false), error) ? 0 : 3;
    });
  };
  kill_loop("install", bench, start, [&]() { return bench.works(expected, bench.dir + ".new"); },
            [&]() { return bench.left_behind(bench.dir + ".new"); }, nullptr, nullptr, nullptr, true);
}

// The update run (started by the application with --update) in a child of this test program.
// It restarts the application when done: its line in the log marks the end of the work. Right
// after each kill, the settling every run does first, called here directly, leaves the
// installation exactly the previous version or exactly the new one.
TEST(KillLoops, Update) {
  Bench bench;
  const std::string program_dir = bench.tmp / "program", log = bench.tmp / "app.log";
  run_shell("mkdir -p '" + program_dir + "'");
  set_work_program_path(W(program_dir + "/morvell-installer"));
  const std::string download = bench.tmp / "downloads/update.zip", master = read_text(bench.package);
  const Tree expected = bench.expected(true, read_text(self_path()));
  auto start = [&]() {
    write_text(download, master);   // every run consumes its package
    return start_child([&]() {
      install_options.install_dir = bench.dir;
      install_options.package_path = download;
      run_update();
      return static_cast<int>(exit_code);
    });
  };
  auto started = [&log]() { return !read_text(log).empty(); };
  auto settled = [&]() -> ::testing::AssertionResult {
    std::wstring error;
    if (!settle_installation(W(bench.dir), error)) return ::testing::AssertionFailure() << U(error);
    const Tree tree = snapshot_tree(bench.dir);
    if (tree == bench.old_files || tree == expected) return ::testing::AssertionSuccess();
    std::string differ;
    for (const auto& item : tree)
      if (!bench.old_files.count(item.first) && !expected.count(item.first)) differ += " stray " + item.first;
    for (const auto& item : expected)
      if (!tree.count(item.first) && !bench.old_files.count(item.first)) differ += " missing " + item.first;
    return ::testing::AssertionFailure() << "neither the previous nor the new version:" << differ;
  };
  setenv("MORVELL_KILL_APP_LOG", log.c_str(), 1);
  kill_loop("update", bench, [&]() {
    run_shell("rm -f '" + log + "'");
    return start();
  }, [&]() { return bench.works(expected, program_dir + "/Morvell-Installer-Temp"); },
            [&]() { return bench.left_behind(program_dir + "/Morvell-Installer-Temp"); }, started,
            [&]() { return update_writing_phase(bench.dir); }, nullptr, false, settled);
  set_work_program_path(L"");
}

// The update run killed at random moments (half of them while its rollback area exists), then a
// reinstall: the journal the killed run left is settled first, never a byte of config lost.
TEST(KillLoops, UpdateThenReinstall) {
  Bench bench;
  const std::string program_dir = bench.tmp / "program", log = bench.tmp / "app.log";
  const std::string backup = bench.dir + "/Morvell-Update-Rollback";
  run_shell("mkdir -p '" + program_dir + "'");
  set_work_program_path(W(program_dir + "/morvell-installer"));
  const std::string download = bench.tmp / "downloads/update.zip", master = read_text(bench.package);
  const Tree expected = bench.expected(false, read_text(self_path()));
  bool backup_seen = false;
  auto update = [&]() {
    run_shell("rm -f '" + log + "'");
    write_text(download, master);   // every run consumes its package
    backup_seen = false;
    return start_child([&]() {
      install_options.install_dir = bench.dir;
      install_options.package_path = download;
      run_update();
      return static_cast<int>(exit_code);
    });
  };
  auto reinstall = [&]() {
    return start_child([&]() {
      std::wstring error;
      if (install_package(W(bench.package), W(bench.dir), InstallOptions::choosing(false, false, false), error)) return 0;
      std::fprintf(stderr, "the reinstall failed: %s\n", plat::wide_to_utf8(error).c_str());
      return 3;
    });
  };
  auto backed_up = [&]() {
    if (exists(backup)) backup_seen = true;
    return backup_seen ? std::max(1, update_writing_phase(bench.dir)) : 0;
  };
  setenv("MORVELL_KILL_APP_LOG", log.c_str(), 1);
  // A killed update leaves its work folder for the next update to clear; the reinstall has none.
  kill_loop("update, then reinstall", bench, update, [&]() { return bench.works(expected, bench.dir + ".new"); },
            [&]() { return bench.left_behind(program_dir + "/Morvell-Installer-Temp"); },
            [&log]() { return !read_text(log).empty(); }, backed_up, reinstall);
  set_work_program_path(L"");
}

// The offline installer: the real program, packed with the package, run with --silent-install;
// it unpacks the package where it lies in its own file, installs it, and removes the previous
// version last. Half the kills fall within that removal: the installation works, and the next run
// removes what is left of the previous version as the installer's own.
TEST(KillLoops, OfflineInstall) {
  Bench bench(8 << 20);   // a package that takes a while
  // A previous version of many files, whose removal takes a while too.
  for (int i = 0; i < 5000; ++i)
    write_text(bench.old_tree + "/old-data/" + std::to_string(i % 50) + "/" + std::to_string(i) + ".dat", "old");
  const std::string setup_dir = bench.tmp / "setup", setup = setup_dir + "/Morvell-Setup.exe";
  run_shell("mkdir -p '" + setup_dir + "'");
  ASSERT_EQ(run_shell("'" + kPack + "' --installer '" + kInstaller + "' --package '" + bench.package + "' --output '" +
                      setup + "' >/dev/null"),
            0);
  const Tree expected = bench.expected(false, read_text(kInstaller));   // the uninstaller: the program part
  auto start = [&]() {
    return start_child([&]() {
      unsetenv("DISPLAY");
      execl(setup.c_str(), setup.c_str(), "--silent-install", "--no-launch", "--install-dir", bench.dir.c_str(),
            static_cast<char*>(nullptr));
      return 127;
    });
  };
  const std::string payload = read_text(bench.package);
  // 0 until the new version is in place and recorded, 1 while the previous one is being removed.
  auto removing = [&]() {
    if (read_text(bench.dir + "/version.txt") != "2.0\n" || exists(bench.dir + ".swap") ||
        read_text(bench.dir + "/install-info.json") != record_for(bench.dir))
      return 0;
    return exists(bench.dir + ".old") ? 1 : 2;
  };
  // What the kill left, before the next run: an installation that works, whatever is left of the
  // previous version beside it, still carrying the installer's mark (or, killed between the mark
  // and the folder, an empty folder, in which nothing of anyone's is lost).
  auto left_working = [&]() -> ::testing::AssertionResult {
    if (removing() != 1) return ::testing::AssertionSuccess();
    std::error_code ignored;
    if (!exists(bench.dir + ".old/.morvell-staging") && !std::filesystem::is_empty(bench.dir + ".old", ignored))
      return ::testing::AssertionFailure() << "the rest of the previous version lost its mark";
    if (read_text(bench.dir + "/config/settings.ini") != "user setting\n")
      return ::testing::AssertionFailure() << "the user's settings are not in the new installation";
    return ::testing::AssertionSuccess();
  };
  kill_loop("offline install", bench, start,
            [&]() { return bench.works(expected, setup_dir + "/Morvell-Installer-Temp"); },
            [&]() { return bench.left_behind(setup_dir + "/Morvell-Installer-Temp", payload); }, nullptr, removing,
            nullptr, false, left_working);
}

// An uninstall killed at random moments and a reinstall at once into the same folder: whatever
// the killed uninstall got to start (its removal script included, which waits 2 s and then looks
// for the mark of the installation it was started for), the reinstalled installation survives it.
TEST(KillLoops, UninstallThenReinstall) {
  Bench bench;
  const Tree expected = bench.expected(false, read_text(self_path()));
  auto uninstall = [&]() {
    return start_child([&]() {
      set_work_program_path(W(bench.dir + "/bin/Morvell-Uninstall.exe"));
      run_uninstall();
      return 0;
    });
  };
  auto reinstall = [&]() {
    return start_child([&]() {
      std::wstring error;
      return install_package(W(bench.package), W(bench.dir), InstallOptions::choosing(true, true, false), error) ? 0 : 3;
    });
  };
  // Every removal script the uninstall started has ended (they are ours to reap), then the tree.
  auto survives = [&]() {
    const bool scripts_ended = wait_until(15000, [] { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; });
    if (!scripts_ended) return ::testing::AssertionFailure() << "a removal script did not end";
    return bench.works(expected, bench.dir + "/bin/Morvell-Installer-Temp");
  };
  kill_loop("uninstall, then reinstall", bench, uninstall, survives,
            [&]() { return bench.left_behind(bench.dir + "/bin/Morvell-Installer-Temp"); }, nullptr, nullptr, reinstall);
}

// A reinstall killed at random moments, then an update and the user's settings written after it,
// then an install: the journal the killed reinstall left is settled by the update, once, so the
// install after it never puts an older tree back over what the update and the user wrote.
TEST(KillLoops, InterruptedReinstallThenUpdateThenInstall) {
  Bench bench;
  const std::string program_dir = bench.tmp / "program", download = bench.tmp / "downloads/update.zip";
  run_shell("mkdir -p '" + program_dir + "'");
  const std::string master = read_text(bench.package);
  Tree expected = bench.expected(false, read_text(self_path()));
  expected["config/written-since.ini"] = "after the update\n";
  auto reinstall = [&]() {
    return start_child([&]() {
      std::wstring error;
      return install_package(W(bench.package), W(bench.dir), InstallOptions::choosing(false, false, false), error) ? 0 : 3;
    });
  };
  auto update_then_install = [&]() {
    write_text(download, master);
    return start_child([&]() {
      set_work_program_path(W(program_dir + "/morvell-installer"));
      install_options.install_dir = bench.dir;
      install_options.package_path = download;
      run_update();
      if (exit_code != 0) return 4;
      write_text(bench.dir + "/config/written-since.ini", "after the update\n");
      std::wstring error;
      return install_package(W(bench.package), W(bench.dir), InstallOptions::choosing(false, false, false), error) ? 0 : 3;
    });
  };
  kill_loop("reinstall, then update and install", bench, reinstall,
            [&]() { return bench.works(expected, program_dir + "/Morvell-Installer-Temp"); },
            [&]() { return bench.left_behind(bench.dir + ".new"); }, nullptr, nullptr, update_then_install);
}
