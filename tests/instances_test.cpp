// Running copies of the application: real fake-app children started from an install directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/ui.h"
#include "common/strings.h"
#include "install/instances.h"
#include "install/messages.h"
#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

// An install directory whose bin/Morvell.exe is a copy of this test program.
struct FakeInstall {
  TempDir dir;
  std::string root = dir / "Install Dir";
  std::string exe = root + "/bin/Morvell.exe";
  FakeInstall() {
    run_shell("mkdir -p '" + root + "/bin'");
    run_shell("cp '" + self_path() + "' '" + exe + "'");
  }
};

struct Child {
  plat::ProcessHandle handle = plat::kNoProcess;
  uint32_t pid = 0;
  Child(const std::string& program, const std::vector<std::wstring>& arguments) {
    EXPECT_TRUE(plat::start_process(W(program), arguments, false, handle));
    pid = static_cast<uint32_t>(handle);
    // Until the exec has happened the child still shows our own image.
    std::wstring image;
    for (int i = 0; i < 200; ++i) {
      if (plat::process_image_path(pid, image) && U(image) == program) break;
      usleep(10000);
    }
  }
  ~Child() {
    if (handle != plat::kNoProcess) {
      kill(static_cast<pid_t>(pid), SIGKILL);
      uint32_t code = 0;
      plat::wait_process(handle, 5000, code);
    }
  }
  // Exit code once it ended (bounded wait), or -1 while it runs.
  int64_t finished(uint32_t wait_ms) {
    uint32_t code = 0;
    if (handle == plat::kNoProcess) return -2;
    if (plat::wait_process(handle, wait_ms, code) != plat::WaitResult::Exited) return -1;
    return code;
  }
};

bool contains(const std::vector<uint32_t>& list, uint32_t pid) {
  return std::find(list.begin(), list.end(), pid) != list.end();
}

uint32_t fake_now = 1000;
uint32_t fake_clock() { return fake_now; }
int fake_sleeps = 0;
void fake_sleep(uint32_t ms) {
  ++fake_sleeps;
  fake_now += ms;
}

struct ClockGuard {
  ~ClockGuard() {
    ui_clock = &plat::tick_ms;
    instance_sleep = &sleep_with_events;
    plat::set_fault_hook(nullptr);
  }
};

}  // namespace

TEST(RunningInstances, MatchingByImagePath) {
  FakeInstall install;
  TempDir other_dir;
  std::string other = other_dir / "bin/Morvell.exe";
  run_shell("mkdir -p '" + other_dir / "bin" + "' && cp '" + self_path() + "' '" + other + "'");
  std::string upper = install.root + "/bin/MORVELL.EXE";
  run_shell("cp '" + self_path() + "' '" + upper + "'");
  std::string renamed = install.root + "/bin/Other.exe";
  run_shell("cp '" + self_path() + "' '" + renamed + "'");

  Child mine(install.exe, {L"--fake-app", L"linger"});
  Child shouting(upper, {L"--fake-app", L"linger"});
  Child elsewhere(other, {L"--fake-app", L"linger"});
  Child not_morvell(renamed, {L"--fake-app", L"linger"});

  std::vector<uint32_t> found = find_running_instances(W(install.root));
  EXPECT_TRUE(contains(found, mine.pid));
  // Names are compared as the file system compares them: here letter case counts, and
  // bin/MORVELL.EXE is another file than bin/Morvell.exe (another installation's, as far as
  // anyone can tell), so it is left running.
  EXPECT_FALSE(contains(found, shouting.pid));
  EXPECT_FALSE(contains(found, elsewhere.pid));
  EXPECT_FALSE(contains(found, not_morvell.pid));
  EXPECT_FALSE(contains(found, plat::current_process_id()));

  // The same copies whatever form of the directory the user typed.
  for (const std::string& form : {install.root + "/", "  \"" + install.root + "//\"  ", install.root + "\t"}) {
    std::vector<uint32_t> again = find_running_instances(W(form));
    EXPECT_TRUE(contains(again, mine.pid)) << form;
    EXPECT_FALSE(contains(again, shouting.pid)) << form;
  }
  EXPECT_TRUE(find_running_instances(W(install.root + "/bin")).empty());
  EXPECT_TRUE(find_running_instances(W(other_dir.path() + "/Install Dir")).empty());

  // No process list: nothing runs, as far as anyone can tell.
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "list_processes"; });
  EXPECT_TRUE(find_running_instances(W(install.root)).empty());
  std::wstring error;
  uint64_t pulses = ui_trace.pulses;
  EXPECT_TRUE(close_running_instances(W(install.root), error));
  EXPECT_EQ(ui_trace.pulses, pulses);
  plat::set_fault_hook(nullptr);
}

// Run inside a copy of this program started as <install>/bin/Morvell.exe: it must not list itself.
TEST(RunningInstances, OwnProcessIsNeverListed) {
  const char* check_dir = std::getenv("MORVELL_SELF_CHECK_DIR");
  if (check_dir) {
    std::string out;
    for (uint32_t pid : find_running_instances(W(check_dir))) out += std::to_string(pid) + " ";
    out += "self=" + std::to_string(plat::current_process_id()) + "\n";
    write_text(std::getenv("MORVELL_SELF_CHECK_OUT"), out);
    return;
  }
  FakeInstall install;
  Child other(install.exe, {L"--fake-app", L"linger"});
  std::string report = install.dir / "self-check.txt";
  setenv("MORVELL_SELF_CHECK_DIR", install.root.c_str(), 1);
  setenv("MORVELL_SELF_CHECK_OUT", report.c_str(), 1);
  plat::ProcessHandle handle = plat::kNoProcess;
  bool started = plat::start_process(W(install.exe), {L"--gtest_filter=RunningInstances.OwnProcessIsNeverListed"},
                                     false, handle);
  unsetenv("MORVELL_SELF_CHECK_DIR");
  unsetenv("MORVELL_SELF_CHECK_OUT");
  ASSERT_TRUE(started);
  uint32_t self_pid = static_cast<uint32_t>(handle), code = 99;
  ASSERT_EQ(plat::wait_process(handle, 30000, code), plat::WaitResult::Exited);
  EXPECT_EQ(code, 0u);
  std::string text = read_text(report);
  EXPECT_NE(text.find(std::to_string(other.pid) + " "), std::string::npos) << text;
  EXPECT_NE(text.find("self=" + std::to_string(self_pid)), std::string::npos) << text;
  EXPECT_EQ(text.find(std::to_string(self_pid) + " "), std::string::npos) << text;
}

TEST(RunningInstances, NothingRunningReturnsAtOnce) {
  ClockGuard guard;
  FakeInstall install;
  std::wstring error = L"untouched";
  set_status(L"before");
  uint64_t pulses = ui_trace.pulses;
  instance_sleep = &fake_sleep;
  fake_sleeps = 0;
  EXPECT_TRUE(close_running_instances(W(install.root), error));
  EXPECT_EQ(fake_sleeps, 0);   // no sleep at all
  EXPECT_EQ(ui_trace.pulses, pulses);
  EXPECT_EQ(ui_trace.last_status, L"before");
  EXPECT_EQ(error, L"untouched");
}

TEST(RunningInstances, PoliteWaitThenTermination) {
  FakeInstall install;
  TempDir other_dir;
  std::string other = other_dir / "bin/Morvell.exe";
  run_shell("mkdir -p '" + other_dir / "bin" + "' && cp '" + self_path() + "' '" + other + "'");
  Child elsewhere(other, {L"--fake-app", L"linger"});

  // One that exits by itself within the polite wait is left to finish: exit code 0.
  {
    Child soon(install.exe, {L"--fake-app", L"exit-after", L"1500"});
    std::wstring error = L"untouched";
    uint64_t pulses = ui_trace.pulses;
    EXPECT_TRUE(close_running_instances(W(install.root), error));
    EXPECT_GT(ui_trace.pulses, pulses);
    EXPECT_EQ(ui_trace.last_status, kWaitingForExitStatus);
    EXPECT_EQ(soon.finished(5000), 0);
    EXPECT_EQ(error, L"untouched");
  }
  // One that stays is killed after the polite wait.
  {
    Child stays(install.exe, {L"--fake-app", L"linger"});
    std::wstring error = L"untouched";
    uint32_t start = plat::tick_ms();
    uint64_t pumps = ui_trace.pumps;
    EXPECT_TRUE(close_running_instances(W(install.root), error));
    EXPECT_GE(plat::tick_ms() - start, 4500u);
    EXPECT_GE(ui_trace.pumps - pumps, 100u);   // the window stays live between scans (every 20 ms)
    EXPECT_EQ(stays.finished(5000), 128 + SIGKILL);
    EXPECT_EQ(error, L"untouched");
  }
  // The copy from another directory was never touched.
  EXPECT_EQ(elsewhere.finished(0), -1);
}

// The schedule with a clock that only moves when the operation sleeps: 20 polite scans, one
// termination per copy, then scans until more than 9999 ms have passed.
TEST(RunningInstances, ScheduleWhenTerminationFails) {
  ClockGuard guard;
  FakeInstall install;
  Child stays(install.exe, {L"--fake-app", L"linger"});
  ui_clock = &fake_clock;
  instance_sleep = &fake_sleep;
  fake_sleeps = 0;
  int terminations = 0;
  plat::set_fault_hook([&terminations](const char* op, const std::wstring&) {
    if (std::string(op) != "terminate_process") return false;
    ++terminations;
    return true;
  });
  std::wstring error;
  EXPECT_FALSE(close_running_instances(W(install.root), error));
  EXPECT_EQ(error, kCannotCloseRunning);
  EXPECT_EQ(terminations, 1);
  EXPECT_EQ(fake_sleeps, 20 + 40);
  EXPECT_EQ(ui_trace.last_status, kClosingRunningStatus);
  EXPECT_EQ(stays.finished(0), -1);   // still running
}

// The same in real time, once: about 5 s of polite wait and 10 s after the termination.
TEST(RunningInstances, FailedTerminationGivesUpAfterTheDeadline) {
  ClockGuard guard;
  FakeInstall install;
  Child stays(install.exe, {L"--fake-app", L"linger"});
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "terminate_process"; });
  std::wstring error;
  uint32_t start = plat::tick_ms();
  EXPECT_FALSE(close_running_instances(W(install.root), error));
  uint32_t elapsed = plat::tick_ms() - start;
  EXPECT_EQ(error, kCannotCloseRunning);
  EXPECT_GE(elapsed, 14900u);
  EXPECT_LT(elapsed, 30000u);
  EXPECT_EQ(stays.finished(0), -1);
}
