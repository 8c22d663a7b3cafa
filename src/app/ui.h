// The window's fields for the window itself: everything window-independent that the engine needs,
// and what the flows may ask of the window (ending the main loop, hiding it, showing the location
// they settled), lies in common/progress.h, which every toolkit (and the window-less build) implements.
#pragma once

#include <string>

#include "common/progress.h"

// Hands the engine's reports to this build's toolkit (set_front_end); nothing without a toolkit.
void use_toolkit_front_end();

// The location entry and the three check boxes, read when the user presses the action button;
// empty text / false when the widget does not exist. The entry reads back a folder set with
// set_location_text as set while the user leaves it as shown.
std::string location_text();
bool desktop_checked();
bool start_menu_checked();
bool launch_checked();

