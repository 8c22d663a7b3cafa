// The reports of the engine: traced for tests, logged, and handed on to the window, if any.
#include "common/progress.h"

#include <algorithm>

#include "common/log.h"
#include "common/state.h"
#include "platform/platform.h"

ClockFunction ui_clock = &plat::tick_ms;
UiTrace ui_trace;
PumpObserver pump_observer = nullptr;

namespace {
const FrontEnd no_window;
const FrontEnd* front_end = &no_window;
double flow_reached = 0.0;   // where the bar stands in the flow that is busy
}  // namespace

void set_front_end(const FrontEnd* shown) { front_end = shown ? shown : &no_window; }

void pump_events() {
  ++ui_trace.pumps;
  if (pump_observer) pump_observer();
  if (front_end->pump) front_end->pump();
}

void set_status(const std::wstring& text) {
  ui_trace.last_status = text;
  log_status(text);
  if (front_end->show_status) front_end->show_status(text);
  pump_events();
}

void pulse_progress(const std::wstring& text) {
  ++ui_trace.pulses;
  log_status(text);
  if (!text.empty()) ui_trace.last_status = text;
  if (front_end->pulse) front_end->pulse(text);
  pump_events();
}

void set_progress(const std::wstring& text, double fraction) {
  if (!text.empty()) set_status(text);
  fraction = std::min(1.0, std::max(0.0, fraction));
  if (busy) fraction = flow_reached = std::max(flow_reached, fraction);
  ++ui_trace.progress_updates;
  log_progress(fraction, ui_clock());
  ui_trace.last_fraction = fraction;
  if (front_end->show_fraction) front_end->show_fraction(fraction);
  pump_events();
}

void set_busy(bool flag) {
  busy = flag;
  flow_reached = flag ? 0.02 : 0.0;   // where a busy window's bar starts
  if (front_end->show_busy) front_end->show_busy(flag);
}

void show_message_dialog(MessageType type, const std::string& text) {
  log_dialog(type == MessageType::Error, text);
  if (front_end->show_message) front_end->show_message(type, text);
}

void quit_main_loop() {
  if (front_end->quit_main_loop) front_end->quit_main_loop();
}

void hide_window() {
  if (front_end->hide_window) front_end->hide_window();
}

void set_location_text(const std::string& text) {
  if (front_end->set_location_text) front_end->set_location_text(text);
}

void add_version_line(const std::string& text) {
  if (front_end->add_version_line) front_end->add_version_line(text);
}

void select_version_line(int index) {
  if (front_end->select_version_line) front_end->select_version_line(index);
}

void set_release_notes_text(const std::string& text) {
  if (front_end->set_release_notes_text) front_end->set_release_notes_text(text);
}

void ProgressThrottle::update(uint64_t current, bool force) {
  uint32_t now = ui_clock();
  if (!force && last_tick != 0 && static_cast<uint32_t>(now - last_tick) < 100) {
    pump_events();   // the bar waits, the window does not
    return;
  }
  last_tick = now;
  if (total == 0) {
    pulse_progress(text);
    return;
  }
  uint64_t reached = std::min(done + current, total);
  set_progress(text, from + (to - from) * static_cast<double>(reached) / static_cast<double>(total));
}

void sleep_with_events(uint32_t ms) {
  const uint32_t start = plat::tick_ms();
  for (;;) {
    pump_events();
    const uint32_t passed = plat::tick_ms() - start;
    if (passed >= ms) return;
    plat::sleep_ms(std::min<uint32_t>(ms - passed, kEventSliceMs));
  }
}

void ProgressThrottle::finish_item(uint64_t units) {
  done = std::min(total, done + units);
  update(0, true);
}
