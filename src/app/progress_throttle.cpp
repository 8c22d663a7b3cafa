#include <algorithm>

#include "app/ui.h"
#include "common/log.h"
#include "platform/platform.h"

ClockFunction ui_clock = &plat::tick_ms;
UiTrace ui_trace;
PumpObserver pump_observer = nullptr;

void note_pump() {
  ++ui_trace.pumps;
  if (pump_observer) pump_observer();
}

void note_status(const std::wstring& text) {
  ui_trace.last_status = text;
  log_status(text);
}

void note_pulse(const std::wstring& text) {
  ++ui_trace.pulses;
  log_status(text);
  if (!text.empty()) ui_trace.last_status = text;
}

double note_progress(double fraction) {
  fraction = std::min(1.0, std::max(0.0, fraction));
  ++ui_trace.progress_updates;
  log_progress(fraction, ui_clock());
  ui_trace.last_fraction = fraction;
  return fraction;
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
