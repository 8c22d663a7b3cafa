// What the engine calls to keep the installer window live during long work and to report on it:
// status, progress, the busy state, message dialogs, the version list and its notes, the clock.
// Every helper traces and logs what it reports and hands it on to the front end a toolkit has
// set, so the engine never reaches the window itself; without one (silent install, tests, the
// window-less build) only the trace and the log see it.
#pragma once

#include <cstdint>
#include <string>

enum class MessageType { Info, Error };

// What a toolkit does with each report; a member left null does nothing. `pump` runs the
// toolkit's pending events; the others show what they name without pumping, but for `show_busy`,
// which turns the loop as its toolkit needs after switching the controls.
struct FrontEnd {
  void (*pump)() = nullptr;
  void (*show_status)(const std::wstring& text) = nullptr;
  void (*pulse)(const std::wstring& text) = nullptr;           // text: the label to show, or empty
  void (*show_fraction)(double fraction) = nullptr;
  void (*show_busy)(bool busy) = nullptr;
  void (*show_message)(MessageType type, const std::string& text) = nullptr;
  void (*add_version_line)(const std::string& text) = nullptr;
  void (*select_version_line)(int index) = nullptr;
  void (*set_release_notes_text)(const std::string& text) = nullptr;
  void (*quit_main_loop)() = nullptr;
  void (*hide_window)() = nullptr;
  void (*set_location_text)(const std::string& text) = nullptr;
};
void set_front_end(const FrontEnd* front_end);               // null: no window

void pump_events();                                          // run every pending toolkit event
void set_status(const std::wstring& text);                   // status line (empty clears it), then pump
void pulse_progress(const std::wstring& text);               // label when text not empty, pulse the bar, pump
// Label when text not empty, then the bar clamped to 0..1 and, while busy, never below where it
// stood; then pump.
void set_progress(const std::wstring& text, double fraction);
void set_busy(bool flag);                                    // busy state: buttons, combo and entry insensitive; a flow begins or ends
void show_message_dialog(MessageType type, const std::string& text);   // modal; bytes that do not decode show as U+FFFD
void quit_main_loop();                                       // end the toolkit's main loop (no-op without one)
// Takes the window off the screen while the program still has work without it; message dialogs
// still show. No-op without a window.
void hide_window();

// The version list and the release notes, filled from the release manifest; no-ops without a window.
void add_version_line(const std::string& text);              // one more line in the version list
void select_version_line(int index);
void set_release_notes_text(const std::string& text);

// Shows `text` (UTF-8) in the location entry: the folder a flow settled. A folder name that is not
// valid UTF-8 is shown with U+FFFD and read back as set while the user leaves it as shown.
void set_location_text(const std::string& text);

// Where the bar stands as each step of a flow begins (a span: from where to where it moves during
// the step), in the order the steps come. Every flow's list only increases, but for one meeting:
// the digest of a download ends beyond where the install's first steps begin, and there the bar
// holds, because set_progress never moves it back within one flow (from one set_busy to the next).
struct BarSpan {
  double from, to;
};
namespace bar {
// Installs: preparing, then the package (given, downloaded and checked, or read from the
// installer itself), then the installation.
constexpr double kPreparing = 0.04;
constexpr BarSpan kCarriedRead{0.06, 0.22};
constexpr BarSpan kDownload{0.08, 0.53};
constexpr BarSpan kDigest{0.54, 0.62};
constexpr double kPackageGiven = 0.54;
constexpr double kInstalling = 0.56;
constexpr double kPreparingFolder = 0.56;
constexpr double kUnpacking = 0.60;
constexpr double kReplacing = 0.84;
constexpr BarSpan kConfiguration{0.88, 0.94};
constexpr double kShortcuts = 0.96;
// Updates.
constexpr double kUpdatePreparing = 0.05;
constexpr double kUpdateUnpacking = 0.10;
constexpr BarSpan kUpdateWriting{0.70, 0.90};
constexpr double kUpdateFinishing = 0.98;

template <int N>
constexpr bool increasing(const double (&steps)[N]) {
  for (int i = 1; i < N; ++i)
    if (!(steps[i - 1] <= steps[i])) return false;
  return true;
}
constexpr double kOfflineInstall[] = {kPreparing, kCarriedRead.from, kCarriedRead.to, kInstalling,
                                      kPreparingFolder, kUnpacking, kReplacing, kConfiguration.from,
                                      kConfiguration.to, kShortcuts};
constexpr double kOnlineInstall[] = {kPreparing, kDownload.from, kDownload.to, kDigest.from, kDigest.to,
                                     kReplacing, kConfiguration.from, kConfiguration.to, kShortcuts};
constexpr double kGivenPackageInstall[] = {kPreparing, kPackageGiven, kInstalling, kUnpacking, kReplacing,
                                           kShortcuts};
constexpr double kUpdate[] = {kUpdatePreparing, kUpdateUnpacking, kUpdateWriting.from, kUpdateWriting.to,
                              kUpdateFinishing};
static_assert(increasing(kOfflineInstall) && increasing(kOnlineInstall) && increasing(kGivenPackageInstall) &&
                  increasing(kUpdate),
              "the bar runs forward through every flow");
static_assert(kDigest.to > kInstalling && kDigest.to < kReplacing, "after a digest the bar holds until the swap");
}  // namespace bar

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
