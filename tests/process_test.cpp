// Starting and awaiting real child processes, the quoting round trip, tree removal.
#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/ui.h"
#include "common/external.h"
#include "common/messages.h"
#include "common/strings.h"
#include "install/unpack.h"
#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

// Puts PATH back (and the fault hook away) whatever a test did to it.
struct EnvironmentGuard {
  std::string path = plat::environment_value("PATH");
  ~EnvironmentGuard() {
    setenv("PATH", path.c_str(), 1);
    plat::set_fault_hook(nullptr);
  }
};

void write_script(const std::string& path, const std::string& body) {
  write_text(path, "#!/bin/sh\n" + body + "\n");
  chmod(path.c_str(), 0755);
}

// Waits (bounded) until `path` holds some text.
std::string wait_for_text(const std::string& path, int limit_ms = 5000) {
  for (int waited = 0; waited < limit_ms; waited += 20) {
    std::string text = read_text(path);
    if (!text.empty() && text.back() == '\n') return text;
    usleep(20000);
  }
  return read_text(path);
}

}  // namespace

TEST(RunAndWait, ExitCodesMissingProgramAndSignals) {
  std::wstring error = L"earlier";
  uint32_t code = 77;
  EXPECT_TRUE(run_and_wait(L"sh", {L"-c", L"exit 0"}, L"", error, &code, false));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(error, L"earlier");   // success leaves the text alone

  code = 77;
  EXPECT_FALSE(run_and_wait(L"sh", {L"-c", L"exit 3"}, L"", error, &code, false));
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(error, kProgramFailed);

  code = 77;
  error.clear();
  EXPECT_FALSE(run_and_wait(L"morvell-no-such-program-here", {}, L"", error, &code, false));
  EXPECT_EQ(error, kCannotStartProgram);
  EXPECT_EQ(code, 77u);   // not started: the output is left alone

  // A child killed by a signal is a failure with a non-zero code.
  code = 0;
  EXPECT_FALSE(run_and_wait(L"sh", {L"-c", L"kill -9 $$"}, L"", error, &code, false));
  EXPECT_EQ(code, 128u + SIGKILL);
  EXPECT_EQ(error, kProgramFailed);

  // The exit code output is optional.
  EXPECT_FALSE(run_and_wait(L"false", {}, L"", error, nullptr, false));

  // A failed wait closes the handle and reports itself.
  EnvironmentGuard guard;
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "wait_process"; });
  code = 77;
  EXPECT_FALSE(run_and_wait(L"true", {}, L"", error, &code, false));
  EXPECT_EQ(error, kCannotWaitForProgram);
  EXPECT_EQ(code, 77u);
  // ... and the tool it could no longer follow is ended, not left writing on its own.
  TempDir tmp;
  const std::string pid_file = tmp / "pid";
  plat::set_fault_hook([&pid_file](const char* op, const std::wstring&) {
    return std::string(op) == "wait_process" && !read_text(pid_file).empty();
  });
  EXPECT_FALSE(
      run_and_wait(L"sh", {L"-c", W("echo $$ > '" + pid_file + "'; exec sleep 30")}, L"", error, &code, false));
  EXPECT_EQ(error, kCannotWaitForProgram);
  const pid_t tool = static_cast<pid_t>(std::atoi(read_text(pid_file).c_str()));
  ASSERT_GT(tool, 0);
  EXPECT_TRUE(kill(tool, 0) != 0 && errno == ESRCH) << "the tool outlived the failed wait";
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "start_process"; });
  EXPECT_FALSE(run_and_wait(L"true", {}, L"", error, &code, false));
  EXPECT_EQ(error, kCannotStartProgram);
}

TEST(RunAndWait, PulsesTheStatusWhileTheChildRuns) {
  uint64_t before = ui_trace.pulses, pumps = ui_trace.pumps;
  std::wstring error;
  EXPECT_TRUE(run_and_wait(L"sleep", {L"1"}, L"正在等待子进程...", error, nullptr, false));
  uint64_t pulses = ui_trace.pulses - before;
  EXPECT_GE(pulses, 5u);    // about ten a second
  EXPECT_LE(pulses, 12u);   // never faster than every 100 ms
  EXPECT_GE(ui_trace.pumps - pumps, 20u);   // the window turns far more often: every 20 ms
  EXPECT_EQ(ui_trace.last_status, L"正在等待子进程...");
}

TEST(RunAndWait, QuotedArgumentsArriveUnchanged) {
  TempDir dir;
  const std::vector<std::wstring> arguments = {
      L"plain",           L"two words",        L"",                L"back\\slash",
      L"trail\\",         L"trail two\\\\",    L"quote\"inside",   L"\\\"slash-quote",
      L"\\\\\"two-slashes-quote", L"tab\there", L"中文 路径\\",     L"$HOME `x` 'y'",
      L"\"\"",            L"-rf",              L"a\\\\b\\\"c\\"};
  std::string out = dir / "args.bin";
  std::vector<std::wstring> command = {L"-c", L"for a; do printf '%s\\0' \"$a\"; done > \"$0\"", W(out)};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::wstring error;
  ASSERT_TRUE(run_and_wait(L"sh", command, L"", error, nullptr, false)) << U(error);
  std::string bytes = read_text(out);
  std::vector<std::wstring> received;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] == '\0') {
      received.push_back(W(bytes.substr(start, i - start)));
      start = i + 1;
    }
  ASSERT_EQ(received.size(), arguments.size());
  for (size_t i = 0; i < arguments.size(); ++i) EXPECT_EQ(U(received[i]), U(arguments[i])) << "argument " << i;
}

TEST(Processes, WaitTimeoutTerminationAndListing) {
  TempDir dir;
  plat::ProcessHandle child = plat::kNoProcess;
  ASSERT_TRUE(plat::start_process(W(self_path()), {L"--fake-app", L"linger"}, false, child));
  uint32_t pid = static_cast<uint32_t>(child);
  uint32_t code = 77;
  EXPECT_EQ(plat::wait_process(child, 50, code), plat::WaitResult::TimedOut);
  EXPECT_EQ(code, 77u);

  // The running child is listed with its image's file name and full path.
  std::vector<plat::ProcessInfo> processes;
  ASSERT_TRUE(plat::list_processes(processes));
  bool seen = false, self_seen = false;
  for (const plat::ProcessInfo& p : processes) {
    if (p.pid == pid) {
      seen = true;
      EXPECT_EQ(U(p.exe_name), U(file_name_of(W(self_path()))));
    }
    if (p.pid == plat::current_process_id()) self_seen = true;
  }
  EXPECT_TRUE(seen);
  EXPECT_TRUE(self_seen);
  std::wstring image;
  ASSERT_TRUE(plat::process_image_path(pid, image));
  EXPECT_EQ(U(image), self_path());
  EXPECT_EQ(plat::current_process_id(), static_cast<uint32_t>(getpid()));

  // Termination is unconditional; the exit code tells of the signal.
  plat::ProcessHandle held = plat::kNoProcess;
  ASSERT_TRUE(plat::terminate_process(pid, held));
  plat::close_process(held);
  EXPECT_NE(plat::wait_process(child, 5000, code), plat::WaitResult::TimedOut);
  EXPECT_FALSE(plat::terminate_process(plat::current_process_id(), held));

  // An image replaced on disk still reports its original path.
  std::string copy = dir / "Morvell.exe";
  ASSERT_EQ(run_shell("cp '" + self_path() + "' '" + copy + "'"), 0);
  ASSERT_TRUE(plat::start_process(W(copy), {L"--fake-app", L"linger"}, false, child));
  pid = static_cast<uint32_t>(child);
  usleep(100000);
  ASSERT_EQ(unlink(copy.c_str()), 0);
  ASSERT_TRUE(plat::process_image_path(pid, image));
  EXPECT_EQ(U(image), copy);
  ASSERT_TRUE(plat::list_processes(processes));
  for (const plat::ProcessInfo& p : processes) {
    if (p.pid == pid) {
      EXPECT_EQ(U(p.exe_name), "Morvell.exe");
    }
  }
  kill(static_cast<pid_t>(pid), SIGKILL);
  EXPECT_EQ(plat::wait_process(child, 5000, code), plat::WaitResult::Exited);
  EXPECT_EQ(code, 128u + SIGKILL);
}

TEST(Processes, DetachedLaunchOutlivesNothingAndLeavesNoZombie) {
  TempDir dir;
  std::string work = dir / "work dir";
  ASSERT_EQ(run_shell("mkdir -p '" + work + "'"), 0);
  std::string report = dir / "report.txt";
  std::string script = dir / "child.sh";
  write_script(script, "echo \"$$ $(pwd) $1 $(ps -o sid= -p $$ | tr -d ' ')\" > '" + report + "'");
  ASSERT_TRUE(plat::launch_detached(W(script), {L"first arg"}, W(work)));
  std::string text = wait_for_text(report);
  ASSERT_FALSE(text.empty());
  // pid, working directory, argument, session
  EXPECT_NE(text.find(" " + work + " first arg "), std::string::npos) << text;
  std::string child_pid = text.substr(0, text.find(' '));
  std::string session = text.substr(text.rfind(' ') + 1);
  session.pop_back();
  EXPECT_NE(session, std::to_string(getsid(0)));   // a session of its own, not ours
  EXPECT_NE(child_pid, std::to_string(getpid()));
  // Nothing of it is left for us to reap.
  int status = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);

  EXPECT_FALSE(plat::launch_detached(W(dir / "missing-program"), {}, W(work)));
  EXPECT_FALSE(plat::launch_detached(W(script), {}, W(dir / "missing-dir")));
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
}

// A program started on its own but watched: how it ended is told (a signal is a crash, any exit
// code is not), one still running is let go and lives on in a session of its own.
TEST(Processes, WatchedLaunchTellsHowTheProgramEnded) {
  TempDir dir;
  const std::string report = dir / "report.txt";
  write_script(dir / "fails.sh", "exit 1");
  write_script(dir / "crashes.sh", "ulimit -c 0\nkill -SEGV $$");
  write_script(dir / "stays.sh", "sleep 0.3\necho \"$(pwd) $(ps -o sid= -p $$ | tr -d ' ')\" > '" + report + "'");
  const struct {
    const char* script;
    plat::ProgramState state;
    uint32_t code;
  } cases[] = {{"fails.sh", plat::ProgramState::Exited, 1}, {"crashes.sh", plat::ProgramState::Crashed, SIGSEGV}};
  for (const auto& c : cases) {
    plat::ProcessHandle process = plat::kNoProcess;
    ASSERT_TRUE(plat::launch_watched(W(dir / c.script), {}, dir.wide(), process)) << c.script;
    uint32_t code = 0;
    EXPECT_EQ(plat::watch_program(process, 10000, code), c.state) << c.script;
    EXPECT_EQ(code, c.code) << c.script;
    EXPECT_EQ(process, plat::kNoProcess) << c.script;
  }
  plat::ProcessHandle process = plat::kNoProcess;
  ASSERT_TRUE(plat::launch_watched(W(dir / "stays.sh"), {}, dir.wide(), process));
  uint32_t code = 0;
  EXPECT_EQ(plat::watch_program(process, 50, code), plat::ProgramState::Running);
  plat::close_process(process);
  const std::string text = wait_for_text(report);
  EXPECT_EQ(text.substr(0, text.rfind(' ')), dir.path());
  EXPECT_NE(text.substr(text.rfind(' ') + 1), std::to_string(getsid(0)) + "\n");   // not our session

  EXPECT_FALSE(plat::launch_watched(W(dir / "missing-program"), {}, dir.wide(), process));
  EXPECT_FALSE(plat::launch_watched(W(dir / "fails.sh"), {}, W(dir / "missing-dir"), process));
  EXPECT_EQ(process, plat::kNoProcess);
}

// A process that has ended, or is only waiting to be reaped.
bool process_gone(pid_t pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return true;
  std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close == std::string::npos || (close + 2 < stat.size() && (stat[close + 2] == 'Z' || stat[close + 2] == 'X'));
}

// An installer killed while its unpacker runs takes the unpacker with it, so that nothing goes
// on writing into its folders; what it launched detached (the application, the removal script)
// lives on.
TEST(Processes, HelpersEndWithAKilledInstallerDetachedProgramsLiveOn) {
  EnvironmentGuard guard;
  TempDir dir;
  const std::string stubs = dir / "stubs", staging = dir / "staging", helper_pid = dir / "helper.pid";
  write_script(stubs + "/bsdtar", "echo $$ > '" + helper_pid + "'\nwhile :; do echo x >> \"$4/written\"; sleep 0.05; done");
  write_script(dir / "app.sh", "sleep 0.5; echo app > '" + dir / "app-lived" + "'");
  write_script(dir / "remover.sh", "sleep 0.5; echo script > '" + dir / "script-lived" + "'");
  write_script(dir / "watched.sh", "sleep 0.5; echo watched > '" + dir / "watched-lived" + "'");
  write_text(dir / "package.zip", "not unpacked by the stand-in");
  pid_t installer = fork();
  ASSERT_GE(installer, 0);
  if (installer == 0) {
    setenv("PATH", (stubs + ":" + guard.path).c_str(), 1);
    plat::launch_detached(W(dir / "app.sh"), {}, dir.wide());
    plat::run_script_detached(W(dir / "remover.sh"), dir.wide(), dir.wide(), L".mark");
    plat::ProcessHandle watched = plat::kNoProcess;
    plat::launch_watched(W(dir / "watched.sh"), {}, dir.wide(), watched);
    std::wstring error;
    extract_archive(W(dir / "package.zip"), W(staging), error);
    _exit(0);
  }
  std::string text = wait_for_text(helper_pid);
  kill(installer, SIGKILL);
  waitpid(installer, nullptr, 0);
  ASSERT_FALSE(text.empty());
  const pid_t helper = static_cast<pid_t>(std::atoi(text.c_str()));
  ASSERT_GT(helper, 1);
  bool gone = false;
  for (int waited = 0; waited < 3000 && !(gone = process_gone(helper)); waited += 20) usleep(20000);
  if (!gone) kill(helper, SIGKILL);
  EXPECT_TRUE(gone) << "the unpacker outlived the installer";
  const std::string written = read_text(staging + "/written");
  usleep(200000);
  EXPECT_EQ(read_text(staging + "/written"), written);   // nothing writes there any more
  EXPECT_EQ(wait_for_text(dir / "app-lived"), "app\n");
  EXPECT_EQ(wait_for_text(dir / "script-lived"), "script\n");
  EXPECT_EQ(wait_for_text(dir / "watched-lived"), "watched\n");
}

// Started with its standard descriptors closed, the installer still learns that a program
// could not be started.
TEST(Processes, StartFailuresAreReportedWithoutStandardDescriptors) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(0);
    close(1);
    close(2);
    plat::ProcessHandle process = plat::kNoProcess;
    const bool started = plat::start_process(L"morvell-no-such-program-here", {}, false, process);
    const bool launched = plat::launch_detached(L"/nonexistent/morvell-no-such-program", {}, L"");
    _exit((started ? 1 : 0) | (launched ? 2 : 0));
  }
  int status = 0;
  for (int waited = 0; waitpid(child, &status, WNOHANG) == 0 && waited < 5000; waited += 10) usleep(10000);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: start reported, 2: launch reported";
}

TEST(RemoveTree, MissingPathRemovalAndFallback) {
  EnvironmentGuard guard;
  int started = 0;
  plat::set_fault_hook([&started](const char* op, const std::wstring&) {
    if (std::string(op) == "start_process") ++started;
    return false;
  });
  TempDir dir;
  remove_tree_with_tool(W(dir / "not-there"), L"正在删除...");
  EXPECT_EQ(started, 0);   // nothing to remove: no process at all

  // A name that needs every quoting rule, and one that looks like an option.
  std::string odd = dir / "-rf a \"b\" c\\";
  write_text(odd + "/sub/file.txt", "x");
  write_text(dir / "keep.txt", "kept");
  remove_tree_with_tool(W(odd), L"正在删除...");
  EXPECT_EQ(started, 1);
  EXPECT_FALSE(exists(odd));
  EXPECT_EQ(read_text(dir / "keep.txt"), "kept");

  // When the removal program fails, the tree is removed in-process.
  std::string stubs = dir / "stubs";
  write_script(stubs + "/rm", "echo called >> '" + dir / "rm-called" + "'\nexit 1");
  write_text(dir / "tree/a/b/c.txt", "c");
  ASSERT_EQ(run_shell("chmod a-w '" + dir / "tree/a/b/c.txt" + "'"), 0);
  write_text(dir / "tree2/x.txt", "x");
  setenv("PATH", stubs.c_str(), 1);
  remove_tree_with_tool(W(dir / "tree"), L"");
  EXPECT_EQ(read_text(dir / "rm-called"), "called\n");
  EXPECT_FALSE(exists(dir / "tree"));

  // Not startable at all: the same fallback.
  setenv("PATH", (dir / "empty").c_str(), 1);
  remove_tree_with_tool(W(dir / "tree2"), L"");
  EXPECT_FALSE(exists(dir / "tree2"));
}
