// The window itself, for the flows and the entry point: everything window-independent that the
// engine needs lies in common/progress.h, which every toolkit (and the window-less build) implements.
#pragma once

#include <string>

#include "common/progress.h"

// Hands the engine's reports to this build's toolkit (set_front_end); nothing without a toolkit.
void use_toolkit_front_end();

// Window fields the flows read or write; empty text / false when the widget does not exist.
// The location entry. A folder name that is not valid UTF-8 is shown with U+FFFD and read back
// as set while the user leaves it as shown.
std::string location_text();
void set_location_text(const std::string& text);
bool desktop_checked();
bool start_menu_checked();
bool launch_checked();

