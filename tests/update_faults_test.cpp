// The update run under failure: every single operation of it (file operations and processes,
// through the fault seam) failing in turn. Each run ends either with exit 4 and the installation
// exactly the tree it was before, configuration and record included, or with exit 0 and, once
// the next run has settled what was left, exactly the new version.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "install/rollback.h"
#include "install/settle.h"
#include "support/nth_fault.h"
#include "update_bench.h"

using namespace update_bench;

namespace {

// The paths at which two trees differ (the uninstaller is a whole program: no dump of it).
std::string tree_difference(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b) {
  std::string differ;
  for (const auto& item : a)
    if (!b.count(item.first) || b.at(item.first) != item.second) differ += " " + item.first;
  for (const auto& item : b)
    if (!a.count(item.first)) differ += " (missing) " + item.first;
  return differ;
}

}  // namespace

TEST(UpdateFaults, EveryFailingOperationLeavesThePreviousOrTheNewVersion) {
  UpdateBench bench;
  set_put_back_retry_ms(200);
  // A file the package replaces with a folder and a folder it replaces with a file, a read-only
  // file, and a user's file in config where the package brings a folder.
  write_text(bench.d + "/lib/plugin", "an old plugin file");
  write_text(bench.d + "/share/icons/old.png", "old icon");
  write_text(bench.d + "/lib/core.so", "old core");
  chmod((bench.d + "/lib/core.so").c_str(), 0444);
  write_text(bench.d + "/config/theme", "the user's theme file");
  write_text(bench.src + "/lib/plugin/main.so", "new plugin");
  write_text(bench.src + "/lib/core.so", "new core");
  write_text(bench.src + "/share/icons", "now a file");
  write_text(bench.src + "/config/theme/dark.ini", "dark");
  bench.zip_source(bench.p);
  const std::string pristine = bench.dir / "pristine", master = bench.dir / "master.zip";
  ASSERT_EQ(run_shell("cp -a '" + bench.d + "' '" + pristine + "' && cp '" + bench.p + "' '" + master + "'"), 0);
  const auto before = snapshot_tree(bench.d);
  auto reset = [&] {
    run_shell("rm -rf '" + bench.d + "' && cp -a '" + pristine + "' '" + bench.d + "' && cp '" + master + "' '" +
              bench.p + "'");
  };
  bench.run(bench.p);
  ASSERT_EQ(exit_code, 0) << U(ui_trace.last_status);
  const auto after = snapshot_tree(bench.d);
  // The user's entry in the way is kept beside the package's folder.
  ASSERT_EQ(after.count("config/theme.user-file") ? after.at("config/theme.user-file") : "", "the user's theme file");
  ASSERT_EQ(after.count("config/theme/dark.ini") ? after.at("config/theme/dark.ini") : "", "dark");

  int failures = 0, successes = 0;
  for (int n = 1; n < 5000; ++n) {
    reset();
    std::string failed_op;
    int count = 0;
    {
      NthOperationFails fault(n);
      bench.run(bench.p);
      count = fault.count();
      failed_op = fault.failed();
    }
    if (count < n) break;   // the run ended before the n-th operation: all covered
    SCOPED_TRACE("operation " + std::to_string(n) + " failed: " + failed_op + ", status: " + U(ui_trace.last_status));
    if (exit_code == 4) {
      ++failures;
      EXPECT_EQ(tree_difference(snapshot_tree(bench.d), before), "");
    } else {
      ++successes;
      EXPECT_EQ(exit_code, 0);
      std::wstring error;
      EXPECT_TRUE(settle_installation(W(bench.d), error)) << U(error);
      EXPECT_EQ(tree_difference(snapshot_tree(bench.d), after), "");
    }
    if (::testing::Test::HasFailure()) break;
  }
  set_put_back_retry_ms(0);
  std::printf("operations failed in turn: %d runs failed with the previous version kept, %d succeeded\n", failures,
              successes);
  EXPECT_GT(failures, 20);
  EXPECT_GT(successes, 3);
}
