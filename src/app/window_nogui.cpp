// The installer window of a build without a window toolkit: there is never a display, so every
// windowed run ends with the no-display message and only --silent-install does real work.
#include "app/window.h"

bool init_toolkit(int&, char**&) { return false; }
void build_installer_window() {}
void install_mode_idle_callback() {}
void run_main_loop() {}
bool window_exists() { return false; }
