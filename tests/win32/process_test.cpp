// Real child processes on Windows: start and await, exit codes, the process list, image paths,
// termination, running copies of the application, tree removal through cmd.exe, and the
// quoting rule checked against the system's own command-line splitter.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>

#include "common/log.h"
#include "common/strings.h"
#include "install/instances.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/log_reader.h"
#include "support/wine.h"

using namespace testing_support;

namespace {

std::wstring self() { return W(self_path()); }

bool wait_exit(plat::ProcessHandle& process, uint32_t& code) {
  return plat::wait_process(process, 20000, code) == plat::WaitResult::Exited;
}

// An install directory whose bin\Morvell.exe is a copy of this test program.
struct FakeInstall {
  TempDir dir;
  std::wstring root = dir.wide() + L"\\Install Dir";
  std::wstring exe = root + L"\\bin\\Morvell.exe";
  FakeInstall() {
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\bin").c_str(), nullptr);
    CopyFileW(self().c_str(), exe.c_str(), FALSE);
  }
};

struct Child {
  plat::ProcessHandle handle = plat::kNoProcess;
  uint32_t pid = 0;
  Child(const std::wstring& program, const std::vector<std::wstring>& arguments) {
    EXPECT_TRUE(plat::start_process(program, arguments, false, handle));
    if (handle != plat::kNoProcess) pid = GetProcessId(reinterpret_cast<HANDLE>(handle));
  }
  ~Child() {
    if (handle == plat::kNoProcess) return;
    TerminateProcess(reinterpret_cast<HANDLE>(handle), 9);
    uint32_t code = 0;
    plat::wait_process(handle, 5000, code);
    plat::close_process(handle);
  }
};

bool listed(const std::vector<uint32_t>& pids, uint32_t pid) {
  return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

}  // namespace

static bool alive(uint32_t pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return false;
  bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

// A helper the installer started (an unpacker) ends with an installer that is killed; a
// detached launch (the application) lives on.
TEST(Win32Processes, HelpersEndWithAKilledInstallerDetachedProgramsLiveOn) {
  TempDir dir;
  const std::string log = dir / "pids.txt", helper_file = dir / "helper.txt";
  SetEnvironmentVariableW(L"MORVELL_FAKE_APP_LOG", W(log).c_str());
  plat::ProcessHandle installer = plat::kNoProcess;
  ASSERT_TRUE(plat::start_process(self(), {L"--fake-app", L"start-then-die", W(helper_file)}, false, installer));
  uint32_t code = 0;
  ASSERT_TRUE(wait_exit(installer, code));
  SetEnvironmentVariableW(L"MORVELL_FAKE_APP_LOG", nullptr);
  EXPECT_EQ(code, 9u);
  const uint32_t helper = static_cast<uint32_t>(std::strtoul(read_text(helper_file).c_str(), nullptr, 10));
  ASSERT_NE(helper, 0u);
  // The log holds the killed installer's pid, the helper's and the detached copy's.
  std::vector<uint32_t> pids;
  for (int i = 0; i < 100 && pids.size() < 3; ++i) {
    Sleep(50);
    pids.clear();
    std::string text = read_text(log);
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) break;
      pids.push_back(static_cast<uint32_t>(std::strtoul(text.substr(at, end - at).c_str(), nullptr, 10)));
      at = end + 1;
    }
  }
  ASSERT_EQ(pids.size(), 3u);
  bool helper_gone = false;
  for (int i = 0; i < 100 && !helper_gone; ++i, Sleep(50)) helper_gone = !alive(helper);
  EXPECT_TRUE(helper_gone) << "the helper outlived the installer";
  for (size_t i = 1; i < pids.size(); ++i) {
    if (pids[i] == helper) continue;
    EXPECT_TRUE(alive(pids[i])) << "the detached program ended with the installer";
    if (HANDLE p = OpenProcess(PROCESS_TERMINATE, FALSE, pids[i])) TerminateProcess(p, 9), CloseHandle(p);
  }
}

TEST(Win32Processes, StartWaitAndExitCodes) {
  plat::ProcessHandle process = plat::kNoProcess;
  ASSERT_TRUE(plat::start_process(self(), {L"--fake-app", L"exit-code", L"3"}, false, process));
  uint32_t code = 77;
  ASSERT_TRUE(wait_exit(process, code));
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(process, plat::kNoProcess);   // closed on exit

  // A program found on PATH by its bare name, its arguments written bare in its command line.
  ASSERT_TRUE(plat::start_process(L"cmd.exe", {L"/C", L"exit", L"5"}, false, process));
  ASSERT_TRUE(wait_exit(process, code));
  EXPECT_EQ(code, 5u);

  // A running child times out the short wait and is still there afterwards.
  ASSERT_TRUE(plat::start_process(self(), {L"--fake-app", L"exit-after", L"700"}, true, process));
  EXPECT_EQ(plat::wait_process(process, 50, code), plat::WaitResult::TimedOut);
  ASSERT_TRUE(wait_exit(process, code));
  EXPECT_EQ(code, 0u);

  EXPECT_FALSE(plat::start_process(L"C:\\no\\such\\program.exe", {}, false, process));
  EXPECT_EQ(process, plat::kNoProcess);
  EXPECT_EQ(plat::wait_process(process, 10, code), plat::WaitResult::Failed);
  plat::close_process(process);
}

// A program started on its own but watched: an exit code below the NTSTATUS error range is an
// end, one in it (an access violation) a crash; one still running is let go and lives on.
TEST(Win32Processes, WatchedLaunchTellsHowTheProgramEnded) {
  const struct {
    const wchar_t* code;
    plat::ProgramState state;
    uint32_t expected;
  } cases[] = {{L"1", plat::ProgramState::Exited, 1}, {L"0xBFFFFFFF", plat::ProgramState::Exited, 0xBFFFFFFFu},
               {L"0xC0000005", plat::ProgramState::Crashed, 0xC0000005u}};
  for (const auto& c : cases) {
    plat::ProcessHandle process = plat::kNoProcess;
    ASSERT_TRUE(plat::launch_watched(self(), {L"--fake-app", L"exit-code", c.code}, L"", process)) << U(c.code);
    uint32_t code = 0;
    EXPECT_EQ(plat::watch_program(process, 20000, code), c.state) << U(c.code);
    EXPECT_EQ(code, c.expected) << U(c.code);
    EXPECT_EQ(process, plat::kNoProcess);
  }
  plat::ProcessHandle process = plat::kNoProcess;
  ASSERT_TRUE(plat::launch_watched(self(), {L"--fake-app", L"linger"}, L"", process));
  const uint32_t pid = GetProcessId(reinterpret_cast<HANDLE>(process));
  uint32_t code = 0;
  EXPECT_EQ(plat::watch_program(process, 50, code), plat::ProgramState::Running);
  plat::close_process(process);
  EXPECT_TRUE(alive(pid));
  if (HANDLE p = OpenProcess(PROCESS_TERMINATE, FALSE, pid)) TerminateProcess(p, 9), CloseHandle(p);
  EXPECT_FALSE(plat::launch_watched(L"C:\\no\\such\\program.exe", {}, L"", process));
  EXPECT_EQ(process, plat::kNoProcess);
}

TEST(Win32Processes, ListImagePathAndTerminate) {
  std::vector<plat::ProcessInfo> processes;
  ASSERT_TRUE(plat::list_processes(processes));
  uint32_t own = plat::current_process_id();
  EXPECT_EQ(own, GetCurrentProcessId());
  auto mine = std::find_if(processes.begin(), processes.end(), [&](const plat::ProcessInfo& p) { return p.pid == own; });
  ASSERT_NE(mine, processes.end());
  EXPECT_EQ(to_lower_wide(mine->exe_name), to_lower_wide(file_name_of(self())));
  std::wstring image;
  ASSERT_TRUE(plat::process_image_path(own, image));
  EXPECT_EQ(to_lower_wide(image), to_lower_wide(self()));
  EXPECT_FALSE(plat::process_image_path(0xFFFFFFF0u, image));

  Child child(self(), {L"--fake-app", L"linger"});
  ASSERT_NE(child.pid, 0u);
  ASSERT_TRUE(plat::process_image_path(child.pid, image));
  EXPECT_EQ(to_lower_wide(image), to_lower_wide(self()));
  plat::ProcessHandle held = plat::kNoProcess;
  EXPECT_FALSE(plat::terminate_process(own, held));   // never ourselves
  ASSERT_TRUE(plat::terminate_process(child.pid, held));
  EXPECT_NE(held, plat::kNoProcess);
  uint32_t code = 77;
  ASSERT_TRUE(wait_exit(child.handle, code));
  EXPECT_EQ(code, 0u);   // ended with exit code 0
  plat::close_process(held);
  EXPECT_EQ(held, plat::kNoProcess);
}

TEST(Win32Processes, RunningCopiesOfTheApplication) {
  FakeInstall install;
  FakeInstall elsewhere;
  EXPECT_TRUE(find_running_instances(install.root).empty());
  Child inside(install.exe, {L"--fake-app", L"linger"});
  Child outside(elsewhere.exe, {L"--fake-app", L"linger"});
  std::vector<uint32_t> found;
  for (int i = 0; i < 100 && found.empty(); ++i, Sleep(20)) found = find_running_instances(install.root);
  EXPECT_TRUE(listed(found, inside.pid));
  EXPECT_FALSE(listed(found, outside.pid));
  // Trailing separator, blanks, quotes and letter case name the same installation.
  std::wstring upper = install.root;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
  EXPECT_TRUE(listed(find_running_instances(L"  \"" + upper + L"\\\"  "), inside.pid));
  EXPECT_FALSE(listed(find_running_instances(install.root + L"\\bin"), inside.pid));

  // A copy that does not leave by itself is ended after the polite wait, and the log says so.
  std::wstring error;
  ASSERT_TRUE(open_log(install.dir.wide() + L"\\logs\\update.log"));
  EXPECT_TRUE(close_running_instances(install.root, error));
  close_log();
  EXPECT_TRUE(error.empty());
  EXPECT_TRUE(logged_in_order(log_events(read_text(install.dir / "logs/update.log")),
                              {"状态：正在等待 Morvell 退出...", "结束正在运行的 Morvell：进程 " + std::to_string(inside.pid)}));
  uint32_t code = 77;
  EXPECT_TRUE(wait_exit(inside.handle, code));
  EXPECT_EQ(plat::wait_process(outside.handle, 0, code), plat::WaitResult::TimedOut);   // left alone
}

TEST(Win32Processes, TreeRemovalThroughTheCommandInterpreter) {
  TempDir tmp;
  write_text(tmp / "Old Version/bin/app.exe", "x");
  write_text(tmp / "Old Version/config/a b&c.ini", "y");
  std::wstring program;
  std::vector<std::wstring> arguments;
  plat::remove_tree_command(W(tmp / "Old Version"), program, arguments);
  EXPECT_EQ(program, L"cmd.exe");
  EXPECT_EQ(arguments, (std::vector<std::wstring>{L"/C", L"rmdir", L"/s", L"/q", tmp.wide() + L"\\Old Version"}));
  plat::ProcessHandle process = plat::kNoProcess;
  ASSERT_TRUE(plat::start_process(program, arguments, false, process));
  uint32_t code = 77;
  ASSERT_TRUE(wait_exit(process, code));
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(exists(tmp / "Old Version"));
  EXPECT_TRUE(is_dir(tmp.path()));
}

TEST(Win32Processes, QuotingRoundTripsThroughCommandLineToArgvW) {
  const std::vector<std::wstring> samples = {
      L"", L"plain", L"with blank", L"C:\\Program Files\\Morvell\\", L"trailing\\\\", L"a\"b",
      L"back\\\"slash quote", L"\\\\server\\share\\x", L"\u5B89\u88C5 \u76EE\u5F55", L"tab\there", L"%PATH%"};
  std::wstring line = L"program.exe";
  for (const auto& sample : samples) line += L" " + plat::quote_argument(sample);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(line.c_str(), &argc);
  ASSERT_NE(argv, nullptr);
  ASSERT_EQ(argc, static_cast<int>(samples.size()) + 1);
  for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(std::wstring(argv[i + 1]), samples[i]) << i;
  LocalFree(argv);
  // Our own splitter agrees with the system's.
  std::vector<std::wstring> ours = plat::split_command_line(line.substr(12));
  EXPECT_EQ(ours, samples);

  // And a real child sees the same arguments, written into its command line by start_process,
  // options and switches among them.
  TempDir tmp;
  const std::wstring out = tmp.wide() + L"\\args.txt";
  std::vector<std::wstring> arguments = {L"--fake-app", L"write-args", out, L"-xf", L"/s"};
  arguments.insert(arguments.end(), samples.begin(), samples.end());
  plat::ProcessHandle process = plat::kNoProcess;
  ASSERT_TRUE(plat::start_process(self(), arguments, false, process));
  uint32_t code = 77;
  ASSERT_TRUE(wait_exit(process, code));
  std::string expected = "-xf\n/s\n";
  for (const auto& sample : samples) expected += U(sample) + "\n";
  EXPECT_EQ(read_text(U(out)), expected);

  // The unpackers' arguments: the paths as they are, the PowerShell command in one argument.
  std::wstring program;
  ASSERT_TRUE(plat::archive_tool_command(1, L"C:\\pkg dir\\a.zip", L"C:\\dest\\", program, arguments));
  EXPECT_EQ(program, L"tar.exe");
  EXPECT_EQ(arguments, (std::vector<std::wstring>{L"-xf", L"C:\\pkg dir\\a.zip", L"-C", L"C:\\dest\\"}));
  ASSERT_TRUE(plat::archive_tool_command(2, L"C:\\it's\\a.zip", L"D:\\x", program, arguments));
  EXPECT_EQ(program, L"powershell.exe");
  EXPECT_EQ(arguments, (std::vector<std::wstring>{L"-NoProfile", L"-ExecutionPolicy", L"Bypass", L"-Command",
                                                  L"Expand-Archive -LiteralPath 'C:\\it''s\\a.zip' -DestinationPath "
                                                  L"'D:\\x' -Force"}));
  EXPECT_FALSE(plat::archive_tool_command(3, L"a", L"b", program, arguments));
}

TEST(Win32Processes, ArgumentsReachMainAsUtf8) {
  // The manifest sets the UTF-8 process code page: a child's main() sees UTF-8 arguments.
  TempDir tmp;
  std::wstring out = tmp.wide() + L"\\args.txt";
  std::wstring dir = L"C:\\\u7528\u6237\\\u5B89\u88C5 \u76EE\u5F55\\";
  plat::ProcessHandle process = plat::kNoProcess;
  ASSERT_TRUE(plat::start_process(self(), {L"--fake-app", L"write-args", out, L"--install-dir", dir}, false, process));
  uint32_t code = 77;
  ASSERT_TRUE(wait_exit(process, code));
  EXPECT_EQ(read_text(U(out)), "--install-dir\n" + U(dir) + "\n");
}
