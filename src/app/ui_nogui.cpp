// The UI helpers for a build without a window toolkit: nothing to show, only the trace that
// tests read is kept up to date, so flows behave exactly as in a silent install.
#include "app/ui.h"
#include "common/log.h"
#include "common/state.h"

void pump_events() { note_pump(); }

void set_status(const std::wstring& text) {
  note_status(text);
  pump_events();
}

void pulse_progress(const std::wstring& text) {
  note_pulse(text);
  pump_events();
}

void set_progress(const std::wstring& text, double fraction) {
  if (!text.empty()) set_status(text);
  note_progress(fraction);
  pump_events();
}

void set_busy(bool flag) { busy = flag; }

void show_message_dialog(MessageType type, const std::string& text) {
  log_dialog(type == MessageType::Error, text);
}

void quit_main_loop() {}
void hide_window() {}

std::string location_text() { return std::string(); }
void set_location_text(const std::string&) {}
bool desktop_checked() { return false; }
bool start_menu_checked() { return false; }
bool launch_checked() { return false; }
void add_version_line(const std::string&) {}
void select_version_line(int) {}
void set_release_notes_text(const std::string&) {}
