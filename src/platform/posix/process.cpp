// POSIX backend: starting, awaiting and ending processes, the process list, external tools.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <dirent.h>
#include <limits.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/strings.h"
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

// A C argument vector that owns its strings.
struct ArgVector {
  std::vector<std::string> strings;
  std::vector<char*> pointers;
  void finish() {
    pointers.clear();
    for (std::string& s : strings) pointers.push_back(&s[0]);
    pointers.push_back(nullptr);
  }
};

const std::wstring kDeletedSuffix = L" (deleted)";

bool read_link(const std::string& path, std::string& target) {
  std::vector<char> buffer(PATH_MAX + 64);
  for (int attempt = 0; attempt < 4; ++attempt) {
    ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buffer.size()) {
      target.assign(buffer.data(), static_cast<size_t>(n));
      return true;
    }
    buffer.resize(buffer.size() * 4);
  }
  return false;
}

// The image of a process as the kernel reports it, without the mark of a replaced file.
bool image_of(uint32_t pid, std::wstring& path) {
  std::string target;
  if (!read_link("/proc/" + std::to_string(pid) + "/exe", target) || target.empty()) return false;
  path = utf8_to_wide(target);
  if (path.size() > kDeletedSuffix.size() &&
      path.compare(path.size() - kDeletedSuffix.size(), kDeletedSuffix.size(), kDeletedSuffix) == 0)
    path.resize(path.size() - kDeletedSuffix.size());
  return true;
}

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

}  // namespace

bool start_process(const std::wstring& program, const std::wstring& parameters, bool /*shown*/,
                   ProcessHandle& process) {
  process = kNoProcess;
  if (fault_injected("start_process", program)) {
    errno = EIO;
    return false;
  }
  reap_abandoned();
  if (program.empty()) return false;
  // Everything the child needs is prepared before forking: between fork and exec it may only
  // make async-signal-safe calls.
  ArgVector args;
  args.strings.push_back(wide_to_utf8(program));
  for (const std::wstring& piece : split_command_line(parameters)) args.strings.push_back(wide_to_utf8(piece));
  args.finish();
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
    // A helper (an unpacker, rm) never outlives us: were we killed, it would go on writing into
    // folders that the next run is already using. The kernel ends it when we end; it would not
    // if we were gone already, so that is checked after asking. (This follows the thread that
    // forks; processes are started from the main thread only, which lives as long as we do.)
#ifdef __linux__
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
#else
    (void)parent;
#endif
    const int report_fd = above_standard(report[1]);
    // A hidden helper: it reads nothing from us and its chatter goes nowhere.
    streams_to_null();
    signal(SIGPIPE, SIG_DFL);
    const int error = exec_first_candidate(paths, args.pointers.data(), environment);
    if (report_fd >= 0) (void)!write(report_fd, &error, sizeof error);
    _exit(127);
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

WaitResult wait_process(ProcessHandle& process, uint32_t timeout_ms, uint32_t& exit_code) {
  if (process == kNoProcess) return WaitResult::Failed;
  pid_t pid = static_cast<pid_t>(process);
  if (fault_injected("wait_process", std::to_wstring(pid))) {
    errno = EIO;
    return WaitResult::Failed;
  }
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      exit_code = exit_code_of(status);
      process = kNoProcess;
      return WaitResult::Exited;
    }
    if (r < 0) {
      if (errno == EINTR) continue;
      return WaitResult::Failed;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= static_cast<int64_t>(timeout_ms)) return WaitResult::TimedOut;
    int64_t left = static_cast<int64_t>(timeout_ms) - elapsed;
    usleep(static_cast<useconds_t>((left < 5 ? left : 5) * 1000));
  }
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

bool launch_detached(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     const std::wstring& directory) {
  if (fault_injected("launch_detached", program)) {
    errno = EIO;
    return false;
  }
  reap_abandoned();
  if (program.empty()) return false;
  // Everything the children need is prepared before forking.
  ArgVector args;
  args.strings.push_back(wide_to_utf8(program));
  for (const std::wstring& a : arguments) args.strings.push_back(wide_to_utf8(a));
  args.finish();
  std::string dir = wide_to_utf8(directory);
  const std::vector<std::string> candidates = program_candidates(args.strings[0]);
  const std::vector<const char*> paths = candidate_pointers(candidates);
  char** const environment = environ;

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  pid_t middle = fork();
  if (middle < 0) {
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (middle == 0) {
    // Intermediate child: a new session, then the real child, then leave at once so that the
    // program is adopted by init and never becomes our zombie.
    close(report[0]);
    setsid();
    pid_t child = fork();
    if (child < 0) {
      int e = errno;
      (void)!write(report[1], &e, sizeof e);
      _exit(1);
    }
    if (child > 0) _exit(0);
    const int report_fd = above_standard(report[1]);
    streams_to_null();
    close_other_descriptors(report_fd >= 0 ? report_fd : 2);
    if (!dir.empty() && chdir(dir.c_str()) != 0) {
      int e = errno;
      (void)!write(report_fd, &e, sizeof e);
      _exit(127);
    }
    signal(SIGPIPE, SIG_DFL);
    const int e = exec_first_candidate(paths, args.pointers.data(), environment);
    (void)!write(report_fd, &e, sizeof e);
    _exit(127);
  }
  close(report[1]);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  const int child_error = read_start_report(report[0]);
  if (child_error != 0) {
    errno = child_error;
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

uint32_t current_process_id() { return static_cast<uint32_t>(getpid()); }

bool list_processes(std::vector<ProcessInfo>& processes) {
  processes.clear();
  if (fault_injected("list_processes", L"")) {
    errno = EIO;
    return false;
  }
  DIR* proc = opendir("/proc");
  if (!proc) return false;
  while (dirent* e = readdir(proc)) {
    const char* name = e->d_name;
    if (*name < '0' || *name > '9') continue;
    char* end = nullptr;
    unsigned long pid = std::strtoul(name, &end, 10);
    if (*end != '\0' || pid == 0 || pid > 0xFFFFFFFFul) continue;
    ProcessInfo info;
    info.pid = static_cast<uint32_t>(pid);
    std::wstring image;
    if (image_of(info.pid, image)) {
      info.exe_name = file_name_of(image);
    } else {
      // No access to the image (another user's process, a kernel thread): its short name only.
      std::ifstream comm(std::string("/proc/") + name + "/comm");
      std::string line;
      std::getline(comm, line);
      info.exe_name = utf8_to_wide(line);
    }
    processes.push_back(info);
  }
  closedir(proc);
  return true;
}

bool process_image_path(uint32_t pid, std::wstring& path) { return image_of(pid, path); }

bool ask_process_to_close(uint32_t) { return false; }   // the polite wait is the only asking here

bool terminate_process(uint32_t pid, ProcessHandle& held) {
  held = kNoProcess;
  if (fault_injected("terminate_process", std::to_wstring(pid))) {
    errno = EIO;
    return false;
  }
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX) || pid == current_process_id()) return false;
  // Nothing needs to stay open here. A child of ours is reaped by whoever started it.
  return kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

bool archive_tool_command(int method, const std::wstring& package, const std::wstring& destination,
                          std::wstring& program, std::wstring& parameters) {
  if (method == 1) {
    program = L"bsdtar";
    // Never the owners or the exact modes stored in the package, also when run as root.
    parameters = L"--no-same-owner --no-same-permissions -xf " + quote_argument(package) + L" -C " +
                 quote_argument(destination);
    return true;
  }
  if (method == 2) {
    program = L"unzip";
    parameters = L"-o -q " + quote_argument(package) + L" -d " + quote_argument(destination);
    return true;
  }
  return false;
}

void remove_tree_command(const std::wstring& path, std::wstring& program, std::wstring& parameters) {
  program = L"rm";
  parameters = L"-rf -- " + quote_argument(path);
}

}  // namespace plat
