// POSIX backend: starting, awaiting and ending the processes we start, external tools.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/platform.h"

extern char** environ;

namespace plat {

namespace {

// Children whose handle was closed while they still ran: reaped whenever we next touch processes,
// so that none of them stays a zombie for long.
std::vector<pid_t>& abandoned_children() {
  static std::vector<pid_t> children;
  return children;
}

void reap_abandoned() {
  std::vector<pid_t>& children = abandoned_children();
  for (size_t i = 0; i < children.size();) {
    int status = 0;
    pid_t r = waitpid(children[i], &status, WNOHANG);
    if (r == 0) {
      ++i;
    } else {   // reaped, or not ours any more
      children.erase(children.begin() + static_cast<long>(i));
    }
  }
}

uint32_t exit_code_of(int status) {
  if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
  return 1;
}

// A C argument vector that owns its strings: the program, then its arguments.
struct ArgVector {
  std::vector<std::string> strings;
  std::vector<char*> pointers;
  ArgVector(const std::wstring& program, const std::vector<std::wstring>& arguments) {
    strings.push_back(wide_to_utf8(program));
    for (const std::wstring& argument : arguments) strings.push_back(wide_to_utf8(argument));
    for (std::string& s : strings) pointers.push_back(&s[0]);
    pointers.push_back(nullptr);
  }
  ArgVector(const ArgVector&) = delete;
  ArgVector& operator=(const ArgVector&) = delete;
};

// Closes every descriptor from 3 up, except `keep`.
void close_other_descriptors(int keep) {
#ifdef SYS_close_range
  bool low_ok = keep <= 3 || syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0;
  if (low_ok && syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0) return;
#endif
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536) max = 65536;
  for (int fd = 3; fd < max; ++fd)
    if (fd != keep) close(fd);
}

// In a freshly forked child: standard input, output and error all lead to /dev/null.
void streams_to_null() {
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) return;
  dup2(null_fd, 0);
  dup2(null_fd, 1);
  dup2(null_fd, 2);
  if (null_fd > 2) close(null_fd);
}

// Reads and closes the report pipe of a started child: it closes without a word when exec
// succeeded (close-on-exec) and carries errno otherwise. Returns that errno, or 0.
int read_start_report(int fd) {
  int child_error = 0;
  ssize_t n;
  do {
    n = read(fd, &child_error, sizeof child_error);
  } while (n < 0 && errno == EINTR);
  close(fd);
  return n > 0 ? (child_error != 0 ? child_error : EIO) : 0;
}

// A descriptor at 3 or above for `fd` (close-on-exec), so that putting /dev/null on the standard
// descriptors cannot replace it; -1 when none can be had.
int above_standard(int fd) { return fd > 2 ? fd : fcntl(fd, F_DUPFD_CLOEXEC, 3); }

// Every place the program may lie, in the order exec would try them: the name itself when it
// has a directory part, otherwise each entry of PATH (an empty entry is the current folder).
std::vector<std::string> program_candidates(const std::string& name) {
  std::vector<std::string> candidates;
  if (name.find('/') != std::string::npos) {
    candidates.push_back(name);
    return candidates;
  }
  const char* variable = std::getenv("PATH");
  const std::string search = variable ? variable : "/bin:/usr/bin";
  size_t begin = 0;
  for (;;) {
    size_t end = search.find(':', begin);
    std::string dir = search.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    candidates.push_back(dir.empty() ? name : dir + "/" + name);
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  return candidates;
}

std::vector<const char*> candidate_pointers(const std::vector<std::string>& candidates) {
  std::vector<const char*> pointers;
  for (const std::string& candidate : candidates) pointers.push_back(candidate.c_str());
  return pointers;
}

// In a forked child, like execvp but without allocating: a candidate that is missing or not
// permitted lets the next one try. Returns only on failure, with the errno to report.
int exec_first_candidate(const std::vector<const char*>& paths, char* const* argv, char* const* environment) {
  int error = ENOENT;
  for (const char* path : paths) {
    execve(path, argv, environment);
    if (errno == EACCES) {
      error = EACCES;
    } else if (errno != ENOENT && errno != ENOTDIR && errno != ESTALE && errno != ENODEV && errno != ETIMEDOUT) {
      return errno;
    }
  }
  return error;
}

// In the forked child of start_process: never returns.
[[noreturn]] void run_helper(pid_t parent, int report, const std::vector<const char*>& paths, char* const* argv,
                             char* const* environment) {
  // A helper (an unpacker, rm) never outlives us: were we killed, it would go on writing into
  // folders that the next run is already using. The kernel ends it when we end; it would not
  // if we were gone already, so that is checked after asking. (This follows the thread that
  // forks; processes are started from the main thread only, which lives as long as we do.)
#ifdef __linux__
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
#else
  (void)parent;
#endif
  const int report_fd = above_standard(report);
  // A hidden helper: it reads nothing from us and its chatter goes nowhere.
  streams_to_null();
  signal(SIGPIPE, SIG_DFL);
  const int error = exec_first_candidate(paths, argv, environment);
  if (report_fd >= 0) (void)!write(report_fd, &error, sizeof error);
  _exit(127);
}

}  // namespace

bool start_process(const std::wstring& program, const std::vector<std::wstring>& arguments, bool /*shown*/,
                   ProcessHandle& process) {
  process = kNoProcess;
  if (injected("start_process", program)) return false;
  reap_abandoned();
  if (program.empty()) return false;
  // Everything the child needs is prepared before forking: between fork and exec it may only
  // make async-signal-safe calls.
  ArgVector args(program, arguments);
  const std::vector<std::string> candidates = program_candidates(args.strings[0]);
  const std::vector<const char*> paths = candidate_pointers(candidates);
  char** const environment = environ;
  const pid_t parent = getpid();

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) {
    int e = errno;
    close(report[0]);
    close(report[1]);
    errno = e;
    return false;
  }
  if (pid == 0) {
    close(report[0]);
    run_helper(parent, report[1], paths, args.pointers.data(), environment);
  }
  close(report[1]);
  const int child_error = read_start_report(report[0]);
  if (child_error != 0) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    errno = child_error;
    return false;
  }
  process = static_cast<ProcessHandle>(pid);
  return true;
}

namespace {

// Waits up to `timeout_ms` for the child to end: 1 with its status, 0 while it runs, -1 when it
// cannot be waited for.
int wait_for_child(pid_t pid, uint32_t timeout_ms, int& status) {
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return 1;
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= static_cast<int64_t>(timeout_ms)) return 0;
    int64_t left = static_cast<int64_t>(timeout_ms) - elapsed;
    usleep(static_cast<useconds_t>((left < 5 ? left : 5) * 1000));
  }
}

}  // namespace

WaitResult wait_process(ProcessHandle& process, uint32_t timeout_ms, uint32_t& exit_code) {
  if (process == kNoProcess) return WaitResult::Failed;
  pid_t pid = static_cast<pid_t>(process);
  if (injected("wait_process", std::to_wstring(pid))) return WaitResult::Failed;
  int status = 0;
  const int ended = wait_for_child(pid, timeout_ms, status);
  if (ended == 0) return WaitResult::TimedOut;
  if (ended < 0) return WaitResult::Failed;
  exit_code = exit_code_of(status);
  process = kNoProcess;
  return WaitResult::Exited;
}

void close_process(ProcessHandle& process) {
  if (process == kNoProcess) return;
  pid_t pid = static_cast<pid_t>(process);
  process = kNoProcess;
  int status = 0;
  // Still running: it goes on without us, and is reaped later so that no zombie stays behind.
  if (waitpid(pid, &status, WNOHANG) == 0) abandoned_children().push_back(pid);
}

void end_process(ProcessHandle& process) {
  if (process == kNoProcess) return;
  pid_t pid = static_cast<pid_t>(process);
  process = kNoProcess;
  int status = 0;
  // Only a child not yet reaped is signalled: its pid cannot belong to anybody else.
  if (waitpid(pid, &status, WNOHANG) != 0) return;
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

namespace {

// In the first forked child of start_in_own_session: never returns. Unless `watched`, it forks
// once more and leaves at once, so that init adopts the program.
[[noreturn]] void run_in_own_session(int report, bool watched, const std::string& dir,
                                     const std::vector<const char*>& paths, char* const* argv,
                                     char* const* environment) {
  setsid();
  if (!watched) {
    pid_t child = fork();
    if (child < 0) {
      int e = errno;
      (void)!write(report, &e, sizeof e);
      _exit(1);
    }
    if (child > 0) _exit(0);
  }
  const int report_fd = above_standard(report);
  streams_to_null();
  close_other_descriptors(report_fd >= 0 ? report_fd : 2);
  if (!dir.empty() && chdir(dir.c_str()) != 0) {
    int e = errno;
    (void)!write(report_fd, &e, sizeof e);
    _exit(127);
  }
  signal(SIGPIPE, SIG_DFL);
  const int e = exec_first_candidate(paths, argv, environment);
  (void)!write(report_fd, &e, sizeof e);
  _exit(127);
}

// Starts a program in a session of its own, its streams on /dev/null, in `directory`: nothing
// that ends us or our process group ends it. `watched` keeps it our child, so that its end can be
// seen (init adopts it when we end); otherwise a middle child leaves at once and init adopts it
// straight away, so that it never becomes our zombie.
bool start_in_own_session(const std::wstring& program, const std::vector<std::wstring>& arguments,
                          const std::wstring& directory, bool watched, pid_t& started) {
  reap_abandoned();
  if (program.empty()) return false;
  // Everything the children need is prepared before forking.
  ArgVector args(program, arguments);
  std::string dir = wide_to_utf8(directory);
  const std::vector<std::string> candidates = program_candidates(args.strings[0]);
  const std::vector<const char*> paths = candidate_pointers(candidates);
  char** const environment = environ;

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  pid_t first = fork();
  if (first < 0) {
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (first == 0) {
    close(report[0]);
    run_in_own_session(report[1], watched, dir, paths, args.pointers.data(), environment);
  }
  close(report[1]);
  int status = 0;
  if (!watched) {
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
  }
  const int child_error = read_start_report(report[0]);
  if (child_error != 0) {
    if (watched) {
      while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
      }
    }
    errno = child_error;
    return false;
  }
  started = first;
  return watched || (WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

bool launch_detached(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     const std::wstring& directory) {
  if (injected("launch_detached", program)) return false;
  pid_t unused = 0;
  return start_in_own_session(program, arguments, directory, false, unused);
}

bool launch_watched(const std::wstring& program, const std::vector<std::wstring>& arguments,
                    const std::wstring& directory, ProcessHandle& process) {
  process = kNoProcess;
  if (injected("launch_watched", program)) return false;
  pid_t pid = 0;
  if (!start_in_own_session(program, arguments, directory, true, pid)) return false;
  process = static_cast<ProcessHandle>(pid);
  return true;
}

ProgramState watch_program(ProcessHandle& process, uint32_t timeout_ms, uint32_t& code) {
  if (process == kNoProcess) return ProgramState::Unknown;
  const pid_t pid = static_cast<pid_t>(process);
  if (injected("watch_program", std::to_wstring(pid))) {
    close_process(process);
    return ProgramState::Unknown;
  }
  int status = 0;
  const int ended = wait_for_child(pid, timeout_ms, status);
  if (ended == 0) return ProgramState::Running;
  process = kNoProcess;
  if (ended < 0) return ProgramState::Unknown;
  if (WIFSIGNALED(status)) {
    code = static_cast<uint32_t>(WTERMSIG(status));
    return ProgramState::Crashed;
  }
  code = exit_code_of(status);
  return ProgramState::Exited;
}

uint32_t current_process_id() { return static_cast<uint32_t>(getpid()); }

bool archive_tool_command(int method, const std::wstring& package, const std::wstring& destination,
                          std::wstring& program, std::vector<std::wstring>& arguments) {
  if (method == 1) {
    program = L"bsdtar";
    // Never the owners or the exact modes stored in the package, also when run as root.
    arguments = {L"--no-same-owner", L"--no-same-permissions", L"-xf", package, L"-C", destination};
    return true;
  }
  if (method == 2) {
    program = L"unzip";
    arguments = {L"-o", L"-q", package, L"-d", destination};
    return true;
  }
  return false;
}

void remove_tree_command(const std::wstring& path, std::wstring& program, std::vector<std::wstring>& arguments) {
  program = L"rm";
  arguments = {L"-rf", L"--", path};
}

}  // namespace plat
