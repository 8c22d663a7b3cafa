// The window's fields for the window itself: everything window-independent that the engine needs,
// and what the flows may ask of the window (ending the main loop, hiding it, showing the location
// they settled), lies in common/progress.h, which every toolkit (and the window-less build) implements.
#pragma once

#include <string>

#include "common/progress.h"

// The location entry and the three check boxes, read when the user presses the action button;
// empty text / false when the widget does not exist. The entry reads back a folder set with
// set_location_text as set while the user leaves it as shown.
std::string location_text();
bool desktop_checked();
bool start_menu_checked();
bool launch_checked();

// What every toolkit's helpers share, window or not: the trace tests read, the log, the observer.
void note_pump();                                   // one turn of the event loop: counted, observer told
void note_status(const std::wstring& text);         // a status text shown (empty clears it): traced, logged
void note_pulse(const std::wstring& text);          // a pulse, with its label when not empty: traced, logged
double note_progress(double fraction);              // a bar position: clamped to 0..1, traced, logged; returned
