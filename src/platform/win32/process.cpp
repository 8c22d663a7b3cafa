// Windows backend: starting, awaiting, listing and ending processes.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/platform.h"

namespace plat {

static ProcessHandle to_process_handle(HANDLE handle) {
  return handle == nullptr ? kNoProcess : reinterpret_cast<ProcessHandle>(handle);
}

static HANDLE to_handle(ProcessHandle process) { return reinterpret_cast<HANDLE>(process); }


// The helpers this process starts and waits for (the unpackers) end with it, even when it is
// killed: they join a job whose processes the system ends when its last handle closes, which is
// when this process goes. What a helper starts in turn leaves the job silently, so an
// application launched by a child installer outlives both.
static HANDLE helper_job() {
  static HANDLE job = [] {
    HANDLE handle = CreateJobObjectW(nullptr, nullptr);
    if (handle == nullptr) return handle;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(handle, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      CloseHandle(handle);
      handle = nullptr;
    }
    return handle;
  }();
  return job;
}

bool start_process(const std::wstring& program, const std::vector<std::wstring>& arguments, bool shown,
                   ProcessHandle& process) {
  process = kNoProcess;
  if (injected("start_process", program)) return false;
  const std::wstring parameters = command_line_text(arguments);
  SHELLEXECUTEINFOW info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  // No error box from the shell (a missing tar.exe on older Windows would otherwise stop a
  // silent install at a dialog): the caller reports the failure in its own words.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.hwnd = nullptr;
  info.lpVerb = nullptr;   // the default verb
  info.lpFile = program.c_str();
  info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
  info.lpDirectory = nullptr;
  info.nShow = shown ? SW_SHOWNORMAL : SW_HIDE;
  if (!ShellExecuteExW(&info)) return false;
  // A document handed to a running server gives no process to wait for: nothing was started here.
  if (info.hProcess == nullptr) return false;
  // Not joining (an older system that allows no nested jobs) only loses that clean-up.
  if (HANDLE job = helper_job()) AssignProcessToJobObject(job, info.hProcess);
  process = to_process_handle(info.hProcess);
  return true;
}

WaitResult wait_process(ProcessHandle& process, uint32_t timeout_ms, uint32_t& exit_code) {
  if (process == kNoProcess) return WaitResult::Failed;
  if (injected("wait_process", std::to_wstring(GetProcessId(to_handle(process))))) return WaitResult::Failed;
  DWORD result = WaitForSingleObject(to_handle(process), timeout_ms);
  if (result == WAIT_TIMEOUT) return WaitResult::TimedOut;
  if (result != WAIT_OBJECT_0) return WaitResult::Failed;
  DWORD code = 1;
  GetExitCodeProcess(to_handle(process), &code);
  CloseHandle(to_handle(process));
  process = kNoProcess;
  exit_code = code;
  return WaitResult::Exited;
}

void close_process(ProcessHandle& process) {
  if (process != kNoProcess) CloseHandle(to_handle(process));
  process = kNoProcess;
}

void end_process(ProcessHandle& process) {
  if (process == kNoProcess) return;
  HANDLE handle = to_handle(process);
  process = kNoProcess;
  if (WaitForSingleObject(handle, 0) == WAIT_TIMEOUT) {
    TerminateProcess(handle, 1);
    WaitForSingleObject(handle, 5000);
  }
  CloseHandle(handle);
}

// Opens a program through the shell, shown, in `directory`, outside the helpers' job: it outlives
// us. `process` receives its handle when the shell gives one (null otherwise).
static bool open_program(const std::wstring& program, const std::vector<std::wstring>& arguments,
                         const std::wstring& directory, HANDLE& process) {
  process = nullptr;
  const std::wstring parameters = command_line_text(arguments);
  SHELLEXECUTEINFOW info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = program.c_str();
  info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
  info.lpDirectory = directory.empty() ? nullptr : directory.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info)) return false;
  process = info.hProcess;
  return true;
}

bool launch_detached(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     const std::wstring& directory) {
  if (injected("launch_detached", program)) return false;
  HANDLE process = nullptr;
  if (!open_program(program, arguments, directory, process)) return false;
  if (process) CloseHandle(process);   // not awaited: the program outlives us
  return true;
}

bool launch_watched(const std::wstring& program, const std::vector<std::wstring>& arguments,
                    const std::wstring& directory, ProcessHandle& process) {
  process = kNoProcess;
  if (injected("launch_watched", program)) return false;
  HANDLE handle = nullptr;
  if (!open_program(program, arguments, directory, handle)) return false;
  process = to_process_handle(handle);   // none when the shell handed the file to a running server
  return true;
}

ProgramState watch_program(ProcessHandle& process, uint32_t timeout_ms, uint32_t& code) {
  if (process == kNoProcess) return ProgramState::Unknown;
  if (injected("watch_program", std::to_wstring(GetProcessId(to_handle(process))))) {
    close_process(process);
    return ProgramState::Unknown;
  }
  const DWORD result = WaitForSingleObject(to_handle(process), timeout_ms);
  if (result == WAIT_TIMEOUT) return ProgramState::Running;
  DWORD exit = 0;
  const bool known = result == WAIT_OBJECT_0 && GetExitCodeProcess(to_handle(process), &exit);
  close_process(process);
  if (!known) return ProgramState::Unknown;
  code = exit;
  // An unhandled exception ends a program with its NTSTATUS error code (0xC0000005 and the like).
  return exit >= 0xC0000000u ? ProgramState::Crashed : ProgramState::Exited;
}

uint32_t current_process_id() { return static_cast<uint32_t>(GetCurrentProcessId()); }

bool list_processes(std::vector<ProcessInfo>& processes) {
  processes.clear();
  if (injected("list_processes", L"")) return false;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry;
  ZeroMemory(&entry, sizeof entry);
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    ProcessInfo info;
    info.pid = static_cast<uint32_t>(entry.th32ProcessID);
    info.exe_name = entry.szExeFile;
    processes.push_back(info);
  }
  CloseHandle(snapshot);
  return true;
}

bool process_image_path(uint32_t pid, std::wstring& path) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  wchar_t buffer[1040] = {};
  DWORD size = 1040;
  BOOL ok = QueryFullProcessImageNameW(process, 0, buffer, &size);
  CloseHandle(process);
  if (!ok || size == 0) return false;
  path.assign(buffer, size);
  return true;
}

bool terminate_process(uint32_t pid, ProcessHandle& held) {
  held = kNoProcess;
  if (injected("terminate_process", std::to_wstring(pid))) return false;
  if (pid == 0 || pid == current_process_id()) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
  if (process == nullptr) return false;
  if (!TerminateProcess(process, 0)) {
    CloseHandle(process);
    return false;
  }
  held = to_process_handle(process);   // kept open until the caller is done waiting
  return true;
}

namespace {

struct CloseRequest {
  DWORD pid;
  bool asked;
};

BOOL CALLBACK ask_window_to_close(HWND window, LPARAM data) {
  auto* request = reinterpret_cast<CloseRequest*>(data);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  // Posted, never sent: a copy that does not answer must not hold up the wait.
  if (pid == request->pid && IsWindowVisible(window) && PostMessageW(window, WM_CLOSE, 0, 0)) request->asked = true;
  return TRUE;
}

}  // namespace

bool ask_process_to_close(uint32_t pid) {
  if (pid == 0 || pid == current_process_id()) return false;
  CloseRequest request{pid, false};
  EnumWindows(ask_window_to_close, reinterpret_cast<LPARAM>(&request));
  return request.asked;
}

}  // namespace plat
