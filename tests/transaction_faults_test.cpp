// The installation transaction under failure: every single operation failing in turn, and the
// process killed at random moments, each followed by a normal run.
#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>

#include "support/nth_fault.h"
#include "transaction_scene.h"

using namespace transaction_scene;

namespace {

// Fails the 1st, 2nd, ... operation of the transaction, one run each, from the state that
// `prepare` leaves. Every run must end in one of the allowed ways: the designed failure with
// the installation exactly as before and nothing staged; success with the new version and the
// user's configuration; or, when an interrupted swap could not be put back, the rollback
// message with the backup and its journal kept. A normal run afterwards always succeeds.
void sweep_failing_operations(const Scene& scene, const std::function<void()>& prepare, bool had_install) {
  scene.reset();
  const auto before = snapshot_tree(scene.dir);
  const std::wstring kept = L"无法回滚安装，原安装已保留在 " + scene.D() + L".old，请手动恢复后重试。";
  int failures = 0, successes = 0, kept_backups = 0, untouched = 0;
  for (int n = 1; n < 3000; ++n) {
    prepare();
    const auto prepared = snapshot_tree(scene.tmp / "Apps");
    std::wstring error;
    bool ok = false;
    std::string failed_op;
    int count = 0;
    {
      NthOperationFails fault(n);
      ok = scene.install(error, true, false);
      count = fault.count();
      failed_op = fault.failed();
    }
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
    } else if (failed_op.rfind("lock ", 0) == 0) {
      // The installation's lock could not be taken: refused before anything was touched.
      ++untouched;
      EXPECT_TRUE(designed_failure(error));
      EXPECT_EQ(snapshot_tree(scene.tmp / "Apps"), prepared);
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
  std::printf("operations failed in turn: %d designed failures, %d successes, %d kept backups, %d untouched\n",
              failures, successes, kept_backups, untouched);
  EXPECT_GT(failures, had_install ? 3 : 0);
  EXPECT_GT(successes, 3);
}

}  // namespace

TEST(TransactionFaults, EveryFailingOperation) {
  Scene scene;
  sweep_failing_operations(scene, [&scene]() { scene.reset(); }, true);
}

TEST(TransactionFaults, EveryFailingOperationOfAFirstInstall) {
  Scene scene;
  sweep_failing_operations(
      scene, [&scene]() { run_shell("rm -rf '" + scene.dir + "' '" + scene.dir + ".new' '" + scene.dir + ".old' '" + scene.dir + ".swap'"); },
      false);
}

TEST(TransactionFaults, EveryFailingOperationWhilePuttingBackAnInterruptedSwap) {
  Scene scene;
  sweep_failing_operations(
      scene,
      [&scene]() {
        run_shell("rm -rf '" + scene.dir + "' '" + scene.dir + ".new' '" + scene.dir + ".swap'");
        scene.put_old_install(scene.dir + ".old", scene.dir);
        write_text(scene.dir + "/readme.txt", "half a new version");
        write_text(scene.dir + "/config/settings.ini", "half merged");
        scene.write_journal();
      },
      true);
}

// Kills a child running the transaction at random moments; a normal run afterwards must leave
// the new version with every user configuration file.
TEST(TransactionFaults, KilledAtAnyMomentThenRunAgain) {
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
