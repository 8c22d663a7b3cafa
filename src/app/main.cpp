// Entry point of the Morvell installer, updater and uninstaller.
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/ui.h"
#include "app/window.h"
#include "common/log.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  use_toolkit_front_end();
  // UTF-8 arguments on every system, so the process keeps the system's own code page: files it
  // hands to other programs (a shortcut's target, say) then read as every other program's do.
  std::vector<std::string> arguments = plat::program_arguments(argc, argv);
  std::vector<char*> vector;
  for (std::string& argument : arguments) vector.push_back(&argument[0]);
  vector.push_back(nullptr);
  int count = static_cast<int>(arguments.size());
  char** values = vector.data();
  // The toolkit takes its own options out of the argument vector before we read it.
  bool have_display = init_toolkit(count, values);
  const int code = run_program(count, values, have_display);
  log_exit_code(code);
  return code;
}
