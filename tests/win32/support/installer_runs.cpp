#include "support/installer_runs.h"

#include "common/state.h"
#include "common/strings.h"
#include "platform/platform.h"
#include "support/helpers.h"

namespace testing_support {

std::wstring installer_path() {
  std::wstring self = W(self_path());
  return parent_path(parent_path(parent_path(self))) + L"\\morvell-installer.exe";
}

std::string offline_installer(const std::string& zip_bytes) {
  std::string exe = read_text(U(installer_path()));
  return exe + zip_bytes + "MORV-PACKAGE:" + std::to_string(exe.size()) + ":" + std::to_string(zip_bytes.size());
}

std::string installer_for_server(const std::string& base) {
  std::string exe = read_text(U(installer_path()));
  // The address is a C string in the program's data: the new one ends with its terminator,
  // and the bytes after it up to the old length are zeros as well.
  const std::string compiled(update_server_base);
  const std::string quoted = compiled + std::string(1, '\0');
  size_t at = exe.find(quoted);
  if (at == std::string::npos || exe.find(quoted, at + 1) != std::string::npos || base.size() > compiled.size())
    return std::string();
  std::string replacement = base + std::string(compiled.size() - base.size(), '\0');
  exe.replace(at, compiled.size(), replacement);
  return exe;
}

long run_and_wait(const std::wstring& program, const std::wstring& parameters) {
  plat::ProcessHandle process = plat::kNoProcess;
  if (!plat::start_process(program, plat::split_command_line(parameters), false, process)) return -1;
  uint32_t code = 0;
  if (plat::wait_process(process, 120000, code) != plat::WaitResult::Exited) {
    plat::close_process(process);
    return -1;
  }
  return static_cast<long>(code);
}

}  // namespace testing_support
