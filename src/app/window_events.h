// The installer window's shared side: the model of this run's window, built once when the window
// is built, and the handlers that every front end routes its events to. Each toolkit only draws
// the model (window_gtk.cpp, window_win32.cpp; window_nogui.cpp draws nothing).
#pragma once

#include "app/window_model.h"

// The model of the window built last; a window of no rows before the first.
const WindowModel& installer_window_model();

// What each toolkit implements.
void draw_installer_window(const WindowModel& model);   // the widgets, row by row, then the window shown
void schedule_idle_job();                               // run_idle_job once the window's main loop runs

// The handlers.
void press_action();              // the main button: the model's action, with the window's choices
void press_cancel();              // Cancel: the main loop ends, the window stays
void choose_version(int index);   // a line of the version list chosen (-1: none)
bool may_close_window();          // a close request: refused while a flow runs
bool run_idle_job();              // the mode's idle job; true when it wants to run again
