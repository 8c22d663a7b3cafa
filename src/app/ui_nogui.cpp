// The UI helpers for a build without a window toolkit: nothing to show, only the trace that
// tests read is kept up to date, so flows behave exactly as in a silent install.
#include <algorithm>

#include "app/ui.h"
#include "common/log.h"
#include "common/state.h"

void pump_events() {
  ++ui_trace.pumps;
  if (pump_observer) pump_observer();
}

void set_status(const std::wstring& text) {
  ui_trace.last_status = text;
  log_status(text);
  pump_events();
}

void pulse_progress(const std::wstring& text) {
  ++ui_trace.pulses;
  log_status(text);
  if (!text.empty()) ui_trace.last_status = text;
  pump_events();
}

void set_progress(const std::wstring& text, double fraction) {
  if (!text.empty()) set_status(text);
  ++ui_trace.progress_updates;
  log_progress(fraction, ui_clock());
  ui_trace.last_fraction = std::min(1.0, std::max(0.0, fraction));
  pump_events();
}

void set_busy(bool flag) { busy = flag; }

void show_message_dialog(MessageType type, const std::string& text) {
  log_dialog(type == MessageType::Error, text);
}

void quit_main_loop() {}

std::string location_text() { return std::string(); }
void set_location_text(const std::string&) {}
bool desktop_checked() { return false; }
bool start_menu_checked() { return false; }
bool launch_checked() { return false; }
void add_version_line(const std::string&) {}
void select_version_line(int) {}
void set_release_notes_text(const std::string&) {}
