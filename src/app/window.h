// The installer window: built once for the run mode, then the main loop runs until a flow,
// Cancel or closing the window ends it.
#pragma once

#include <string>

bool init_toolkit(int& argc, char**& argv);   // false when no display can be opened
void build_installer_window();                // the window for run_mode, shown (window_events.cpp)
void install_mode_idle_callback();            // the mode's idle job: manifest load (online) or update run (update)
void run_main_loop();
bool window_exists();
