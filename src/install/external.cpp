// External programs: running one to its end while the window stays live, removing trees,
// unpacking packages with the tools the system offers and then with our own unpacker.
#include "install/external.h"

#include "app/ui.h"
#include "common/log.h"
#include "install/filetree.h"
#include "platform/platform.h"

bool run_and_wait(const std::wstring& program, const std::wstring& parameters, const std::wstring& status,
                  std::wstring& error, uint32_t* exit_code, bool shown) {
  plat::ProcessHandle process = plat::kNoProcess;
  const bool started = plat::start_process(program, parameters, shown, process);
  log_process_start(program, parameters, started);
  if (!started) {
    error = L"无法启动外部进程。";
    return false;
  }
  // Short waits keep the window live; the bar pulses every 100 ms (every fifth wait).
  const uint32_t pulse_every = 100 / kEventSliceMs;
  for (uint32_t waits = 1;; ++waits) {
    uint32_t code = 1;
    plat::WaitResult waited = plat::wait_process(process, kEventSliceMs, code);
    if (waited == plat::WaitResult::TimedOut) {
      if (waits % pulse_every == 0)
        pulse_progress(status);
      else
        pump_events();
      continue;
    }
    log_process_end(program, waited == plat::WaitResult::Exited, code);
    if (waited == plat::WaitResult::Exited) {
      if (exit_code) *exit_code = code;
      if (code == 0) return true;
      error = L"外部进程执行失败。";
      return false;
    }
    // A tool we can no longer follow must not go on writing where the next one unpacks.
    plat::end_process(process);
    error = L"等待外部进程失败。";
    return false;
  }
}

void remove_tree(const std::wstring& path, const std::wstring& status) {
  if (plat::path_kind(path) == plat::PathKind::None) return;
  std::wstring program, parameters, ignored;
  plat::remove_tree_command(path, program, parameters);
  if (!run_and_wait(program, parameters, status, ignored, nullptr, false)) delete_tree(path);
}

namespace {

// An unpacker that claims success but left no file behind has unpacked nothing.
bool holds_files(const std::wstring& directory) {
  if (plat::path_kind(directory) != plat::PathKind::Directory) return false;
  uint64_t files = 0, bytes = 0;
  count_tree(directory, files, bytes);
  return files > 0;
}

const wchar_t* unpack_message(plat::UnpackResult result) {
  switch (result) {
    case plat::UnpackResult::InitFailed: return L"无法初始化系统解压组件。";
    case plat::UnpackResult::PackageUnreadable: return L"无法打开安装包。";
    case plat::UnpackResult::DestinationUnusable: return L"无法打开安装目录。";
    case plat::UnpackResult::Empty: return L"安装包为空或无法读取。";
    case plat::UnpackResult::TimedOut: return L"解压安装包超时。";
    case plat::UnpackResult::Failed:
    case plat::UnpackResult::Ok: break;
  }
  return L"解压安装包失败。";
}

}  // namespace

bool extract_archive(const std::wstring& package, const std::wstring& destination, std::wstring& error) {
  create_directory_tree(destination);
  const std::wstring status = L"正在解压安装包...";
  for (int method = 1; method <= 2; ++method) {
    std::wstring program, parameters;
    if (!plat::archive_tool_command(method, package, destination, program, parameters)) continue;
    if (run_and_wait(program, parameters, status, error, nullptr, false) && holds_files(destination)) return true;
    error.clear();
  }
  // The unpacker polls often; the bar pulses every 100 ms, as while a tool runs.
  bool pulsed = false;
  uint32_t last_pulse = 0;
  plat::UnpackResult result = plat::unpack_in_process(package, destination, [&]() {
    const uint32_t now = ui_clock();
    if (pulsed && static_cast<uint32_t>(now - last_pulse) < 100) {
      pump_events();
      return;
    }
    pulse_progress(status);
    pulsed = true;
    last_pulse = now;
  });
  if (result == plat::UnpackResult::Ok) {
    if (holds_files(destination)) return true;
    result = plat::UnpackResult::Empty;
  }
  error = unpack_message(result);
  return false;
}
