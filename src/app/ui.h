// The window itself, for the flows and the entry point: everything window-independent that the
// engine needs lies in common/progress.h, which every toolkit (and the window-less build) implements.
#pragma once

#include <string>

#include "common/progress.h"

void quit_main_loop();                                       // end the toolkit's main loop (no-op without one)
// Takes the window off the screen while the program still has work without it; message dialogs
// still show. No-op without a window.
void hide_window();

// Window fields the flows read or write; empty text / false when the widget does not exist.
// The location entry. A folder name that is not valid UTF-8 is shown with U+FFFD and read back
// as set while the user leaves it as shown.
std::string location_text();
void set_location_text(const std::string& text);
bool desktop_checked();
bool start_menu_checked();
bool launch_checked();

// What every toolkit's helpers share, window or not: the trace tests read, the log, the observer.
void note_pump();                                   // one turn of the event loop: counted, observer told
void note_status(const std::wstring& text);         // a status text shown (empty clears it): traced, logged
void note_pulse(const std::wstring& text);          // a pulse, with its label when not empty: traced, logged
double note_progress(double fraction);              // a bar position: clamped to 0..1, traced, logged; returned
