// Running copies of the installed application: found by image path or file identity, given a few seconds to
// exit by themselves, then ended.
#include "install/instances.h"

#include "common/log.h"
#include "common/progress.h"
#include "common/strings.h"
#include "install/messages.h"
#include "platform/platform.h"

InstanceSleepFunction instance_sleep = &sleep_with_events;

namespace {

constexpr int kPoliteScans = 20;
constexpr uint32_t kPollInterval = 250;
constexpr uint32_t kTerminationDeadline = 9999;

wchar_t ascii_lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// Equal up to the letter case of ASCII letters.
bool equal_ignoring_ascii_case(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

void release_all(std::vector<plat::ProcessHandle>& held) {
  for (plat::ProcessHandle& h : held) plat::close_process(h);
  held.clear();
}

}  // namespace

std::vector<uint32_t> find_running_instances(const std::wstring& install_dir) {
  std::vector<uint32_t> found;
  const std::wstring expected = join_path(join_path(clean_path_input(install_dir), L"bin"), L"Morvell.exe");
  const uint32_t own = plat::current_process_id();
  std::vector<plat::ProcessInfo> processes;
  if (!plat::list_processes(processes)) return found;
  for (const plat::ProcessInfo& p : processes) {
    if (p.pid == own) continue;
    if (!equal_ignoring_ascii_case(p.exe_name, L"Morvell.exe")) continue;
    std::wstring image;
    if (!plat::process_image_path(p.pid, image) || image.empty()) continue;
    // Named as this system compares names (letter case counts where the file system's does), or
    // the very same file reached another way: a copy in a folder that differs only in case is
    // another installation's.
    if (plat::same_path_text(image, expected) || plat::same_file(image, expected)) found.push_back(p.pid);
  }
  return found;
}

bool close_running_instances(const std::wstring& install_dir, std::wstring& error) {
  // Give them a few seconds to finish by themselves, asked as the user would ask them: a copy
  // that can save its work gets the chance before it is ended.
  for (int scan = 0; scan < kPoliteScans; ++scan) {
    const std::vector<uint32_t> running = find_running_instances(install_dir);
    if (running.empty()) return true;
    if (scan == 0)
      for (uint32_t pid : running)
        if (plat::ask_process_to_close(pid) && log_enabled())
          log_line("请正在运行的 Morvell 关闭：进程 " + std::to_string(pid));
    instance_sleep(kPollInterval);
    pulse_progress(kWaitingForExitStatus);
  }
  std::vector<uint32_t> still = find_running_instances(install_dir);
  if (still.empty()) return true;

  std::vector<plat::ProcessHandle> held;
  for (uint32_t pid : still) {
    plat::ProcessHandle handle = plat::kNoProcess;
    const bool ended = plat::terminate_process(pid, handle);
    if (log_enabled())
      log_line("结束正在运行的 Morvell：进程 " + std::to_string(pid) + (ended ? "" : "，失败（" + plat::last_error_text() + "）"));
    if (ended) held.push_back(handle);
  }
  const uint32_t start = ui_clock();
  for (;;) {
    if (static_cast<uint32_t>(ui_clock() - start) > kTerminationDeadline) break;
    if (find_running_instances(install_dir).empty()) {
      release_all(held);
      return true;
    }
    instance_sleep(kPollInterval);
    pulse_progress(kClosingRunningStatus);
    if (static_cast<uint32_t>(ui_clock() - start) > kTerminationDeadline) break;
  }
  release_all(held);
  error = kCannotCloseRunning;
  return false;
}
