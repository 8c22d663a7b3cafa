// The UI helpers for a build without a window toolkit: nothing to show, so the engine's reports
// reach only the trace and the log, exactly as in a silent install.
#include "app/ui.h"

void use_toolkit_front_end() {}

std::string location_text() { return std::string(); }
bool desktop_checked() { return false; }
bool start_menu_checked() { return false; }
bool launch_checked() { return false; }
