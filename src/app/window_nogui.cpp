// The installer window of a build without a window toolkit: there is never a display, so every
// windowed run ends with the no-display message and only --silent-install does real work.
#include "app/window.h"
#include "app/window_events.h"

bool init_toolkit(int&, char**&) { return false; }
void draw_installer_window(const WindowModel&) {}
void schedule_idle_job() {}
void run_main_loop() {}
bool window_exists() { return false; }
