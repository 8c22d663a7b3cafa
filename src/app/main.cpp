// Entry point of the Morvell installer, updater and uninstaller.
#include "app/cmdline.h"
#include "app/window.h"
#include "common/log.h"

int main(int argc, char** argv) {
  // The toolkit takes its own options out of the argument vector before we read it.
  bool have_display = init_toolkit(argc, argv);
  const int code = run_program(argc, argv, have_display);
  log_exit_code(code);
  return code;
}
