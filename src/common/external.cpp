// External programs: running one to its end while the window stays live, removing trees.
#include "common/external.h"

#include <vector>

#include "common/filetree.h"
#include "common/log.h"
#include "common/messages.h"
#include "common/progress.h"
#include "common/strings.h"
#include "platform/platform.h"

bool run_and_wait(const std::wstring& program, const std::vector<std::wstring>& arguments, const std::wstring& status,
                  std::wstring& error, uint32_t* exit_code, bool shown) {
  plat::ProcessHandle process = plat::kNoProcess;
  const bool started = plat::start_process(program, arguments, shown, process);
  log_process_start(program, plat::command_line_text(arguments), started);
  if (!started) {
    error = kCannotStartProgram;
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
      error = kProgramFailed;
      return false;
    }
    // A tool we can no longer follow must not go on writing where the next one unpacks.
    plat::end_process(process);
    error = kCannotWaitForProgram;
    return false;
  }
}

void remove_tree_with_tool(const std::wstring& path, const std::wstring& status) {
  if (plat::path_kind(path) == plat::PathKind::None) return;
  std::wstring program, ignored;
  std::vector<std::wstring> arguments;
  plat::remove_tree_command(path, program, arguments);
  if (!run_and_wait(program, arguments, status, ignored, nullptr, false)) remove_tree_in_process(path);
}
