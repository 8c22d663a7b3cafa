// The new version watched after the update starts it: one that cannot start or crashes at once is
// taken back and the previous version started again; one that ends by itself, or runs on, stays.
// A run killed while it watches leaves the new version to the next run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "install/settle.h"
#include "update_bench.h"

using namespace update_bench;

namespace {

const std::string kCrashes = kNewProgram + "ulimit -c 0\nkill -SEGV $$\n";

}  // namespace

TEST(UpdateRevert, ANewVersionThatCannotStartIsTakenBack) {
  UpdateBench bench;
  const auto before = snapshot_tree(bench.d);
  // A program that crashes at once (a signal), and one that cannot be started at all.
  for (const bool runnable : {true, false}) {
    SCOPED_TRACE(runnable ? "crashes" : "cannot be started");
    run_shell("rm -f '" + bench.log + "'");
    bench.make_package(bench.p, kCrashes);
    if (!runnable) {
      chmod((bench.src + "/bin/Morvell.exe").c_str(), 0644);
      bench.zip_source(bench.p);
    }
    bench.run(bench.p);
    EXPECT_EQ(exit_code, 4);
    EXPECT_EQ(ui_trace.last_status, L"新版本 Morvell 无法启动，已恢复到更新前的版本。");
    EXPECT_EQ(snapshot_tree(bench.d), before);   // the record and the configuration too
    EXPECT_FALSE(exists(bench.p));
    // The new version's start (when it got that far), then the previous version's.
    EXPECT_EQ(bench.launches(runnable ? 2 : 1),
              (runnable ? "started " + bench.d + "/bin 0\n" : std::string()) + "old " + bench.d + "/bin\n");
  }
}

TEST(UpdateRevert, ANewVersionThatEndsByItselfOrRunsOnStays) {
  UpdateBench bench;
  set_health_watch_ms(300);
  const std::string runs_on = "sleep 1\necho > '" + bench.dir / "ran-on" + "'\n";
  for (const std::string& ending : {std::string("exit 0\n"), std::string("exit 1\n"), runs_on}) {
    SCOPED_TRACE(ending);
    run_shell("rm -f '" + bench.log + "'");
    write_text(bench.d + "/version.txt", "1.0\n");
    bench.make_package(bench.p, kNewProgram + ending);
    const uint32_t start = plat::tick_ms();
    bench.run(bench.p);
    EXPECT_EQ(exit_code, 0) << U(ui_trace.last_status);
    bench.expect_updated();
    EXPECT_LT(plat::tick_ms() - start, 5000u);   // watched for the time set, not for the default
    EXPECT_EQ(bench.launches(), "started " + bench.d + "/bin 0\n");
  }
  // The one that ran on was let go, not ended: it finishes by itself.
  EXPECT_TRUE(wait_until(5000, [&] { return exists(bench.dir / "ran-on"); }));
}

// Killed while it watches the new version: the next run's settling keeps the new version, whole.
TEST(UpdateRevert, KilledWhileWatchingTheNewVersionStays) {
  UpdateBench bench;
  bench.make_package(bench.p, kNewProgram + "exec sleep 3\n");
  pid_t child = fork();
  if (child == 0) {
    set_health_watch_ms(60000);
    bench.run(bench.p);
    _exit(0);
  }
  ASSERT_TRUE(wait_until(20000, [&] { return !read_text(bench.log).empty(); }));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(exists(bench.d + "/Morvell-Update-Rollback"));
  std::wstring error;
  ASSERT_TRUE(settle_installation(W(bench.d), error)) << U(error);
  bench.expect_updated();
}
