// What the engine calls to keep the installer window live during long work and to report on it:
// status, progress, the busy state, message dialogs, the version list and its notes, the clock.
// Each toolkit (and the window-less build) implements it, so the engine never reaches the window
// itself; every helper is safe to call when no window exists (silent install, tests).
#pragma once

#include <cstdint>
#include <string>

enum class MessageType { Info, Error };

void pump_events();                                          // run every pending toolkit event
void set_status(const std::wstring& text);                   // status line (empty clears it), then pump
void pulse_progress(const std::wstring& text);               // label when text not empty, pulse the bar, pump
void set_progress(const std::wstring& text, double fraction);// label when text not empty, bar clamped to 0..1, pump
void set_busy(bool flag);                                    // busy state: buttons, combo and entry insensitive
void show_message_dialog(MessageType type, const std::string& text);   // modal; bytes that do not decode show as U+FFFD

// The version list and the release notes, filled from the release manifest; no-ops without a window.
void add_version_line(const std::string& text);              // one more line in the version list
void select_version_line(int index);
void set_release_notes_text(const std::string& text);

// The window's own run, for the flows; no-ops without a window.
void quit_main_loop();                                       // end the toolkit's main loop
// Takes the window off the screen while the program still has work without it; message dialogs
// still show.
void hide_window();
// Shows `text` (UTF-8) in the location entry: the folder a flow settled. A folder name that is not
// valid UTF-8 is shown with U+FFFD and read back as set while the user leaves it as shown.
void set_location_text(const std::string& text);

// The millisecond clock of every progress limiter and wait; tests replace it.
using ClockFunction = uint32_t (*)();
extern ClockFunction ui_clock;

// The longest stretch a wait spends without a turn of the event loop.
constexpr uint32_t kEventSliceMs = 20;
// Sleeps `ms` milliseconds with the window live: a turn of the event loop at least every
// kEventSliceMs, and one before returning.
void sleep_with_events(uint32_t ms);

// Lets a long file operation move the bar at most once per 100 ms between forced updates.
struct ProgressThrottle {
  uint64_t total = 0;          // units of the whole job; 0 = unknown (the bar pulses)
  uint64_t done = 0;           // units finished before the current item
  double from = 0.0;           // bar fraction at the start of the job
  double to = 0.0;             // bar fraction at the end of the job
  std::wstring text;           // status text shown with every update
  uint32_t last_tick = 0;      // clock value of the last update shown; 0 = none yet
  // Shows done + current units unless unforced and less than 100 ms after the last update;
  // runs the event loop either way.
  void update(uint64_t current, bool force);
  // Adds one finished item's units (never beyond total) and forces an update.
  void finish_item(uint64_t units);
};

// Observers for tests: count bar pulses and record the last fraction and status text shown,
// whether or not a window exists.
struct UiTrace {
  uint64_t pumps = 0;            // turns of the event loop asked for through pump_events
  uint64_t pulses = 0;
  uint64_t progress_updates = 0;
  double last_fraction = -1.0;
  std::wstring last_status;
};
extern UiTrace ui_trace;

// Called at every pump_events, window or not: benchmarks time the gaps between event-loop
// turns with it. Null when nobody watches.
using PumpObserver = void (*)();
extern PumpObserver pump_observer;
