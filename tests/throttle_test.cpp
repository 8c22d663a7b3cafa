// ProgressThrottle over a fake millisecond clock: what reaches the status and progress helpers
// (read through the UI trace, so no window is needed).
#include <gtest/gtest.h>

#include <cstdint>

#include "app/ui.h"
#include "common/log.h"
#include "common/strings.h"
#include "install/messages.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/log_reader.h"

namespace {

uint32_t fake_now = 0;
uint32_t fake_clock() { return fake_now; }

struct FakeClock {
  ClockFunction saved = ui_clock;
  FakeClock() { ui_clock = &fake_clock; }
  ~FakeClock() { ui_clock = saved; }
};

// Counts of what reached the helpers since the last call.
struct Shown {
  uint64_t pulses = ui_trace.pulses, updates = ui_trace.progress_updates;
  uint64_t new_updates() {
    uint64_t n = ui_trace.progress_updates - updates;
    updates = ui_trace.progress_updates;
    return n;
  }
  uint64_t new_pulses() {
    uint64_t n = ui_trace.pulses - pulses;
    pulses = ui_trace.pulses;
    return n;
  }
};

ProgressThrottle throttle(uint64_t total, double from, double to, const wchar_t* text) {
  ProgressThrottle t;
  t.total = total;
  t.from = from;
  t.to = to;
  t.text = text;
  return t;
}

}  // namespace

TEST(ProgressThrottle, LimitsUnforcedUpdatesTo100ms) {
  FakeClock clock;
  Shown shown;
  // The log follows the bar: its status once, positions in whole percent at most every 100 ms.
  testing_support::TempDir dir;
  const std::string log = dir / "progress.log";
  ASSERT_TRUE(open_log(plat::utf8_to_wide(log)));
  ProgressThrottle t = throttle(1000, 0.0, 1.0, L"正在复制文件...");
  fake_now = 5000;
  t.update(0, false);                       // nothing shown yet: always shown
  EXPECT_EQ(shown.new_updates(), 1u);
  EXPECT_EQ(t.last_tick, 5000u);
  fake_now = 5099;
  t.update(10, false);                      // 99 ms later: not shown
  EXPECT_EQ(shown.new_updates(), 0u);
  EXPECT_EQ(t.last_tick, 5000u);            // and the last tick is not moved
  fake_now = 5100;
  t.update(20, false);                      // 100 ms: shown
  EXPECT_EQ(shown.new_updates(), 1u);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.02);
  t.update(30, true);                       // forced, same millisecond: shown
  EXPECT_EQ(shown.new_updates(), 1u);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.03);
  fake_now = 5101;
  t.update(40, false);                      // 1 ms after the forced update: not shown
  EXPECT_EQ(shown.new_updates(), 0u);
  t.update(40, true);
  t.update(40, true);
  EXPECT_EQ(shown.new_updates(), 2u);
  EXPECT_EQ(ui_trace.last_status, L"正在复制文件...");
  EXPECT_EQ(shown.new_pulses(), 0u);
  fake_now = 5250;
  t.update(49, false);                      // 4.9 % is shown as 5 %
  set_progress(kRestoringConfigStatus, 0.05);  // a new step logs its position at once
  set_progress(L"", 0.05);
  close_log();
  EXPECT_EQ(testing_support::log_events(testing_support::read_text(log)),
            (std::vector<std::string>{"状态：正在复制文件...", "进度：0%", "进度：2%", "进度：5%",
                                      "状态：正在恢复用户配置...", "进度：5%"}));
}

TEST(ProgressThrottle, FirstForcedUpdateAndStartFraction) {
  FakeClock clock;
  Shown shown;
  fake_now = 1;
  ProgressThrottle t = throttle(400, 0.2, 0.6, L"正在解压...");
  t.update(0, true);
  EXPECT_EQ(shown.new_updates(), 1u);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.2);
}

TEST(ProgressThrottle, FractionFormula) {
  FakeClock clock;
  fake_now = 100000;
  ProgressThrottle t = throttle(1000, 0.1, 0.5, L"x");
  t.done = 200;
  t.update(300, true);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.1 + 0.4 * 500.0 / 1000.0);
  t.update(900, true);                      // beyond the total: stops at `to`
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.5);
  t.finish_item(300);
  EXPECT_EQ(t.done, 500u);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.3);
  t.finish_item(10000);                     // never beyond the total
  EXPECT_EQ(t.done, 1000u);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.5);

  // Large totals stay exact enough in double precision.
  ProgressThrottle big = throttle(UINT64_C(5368709120), 0.3, 0.9, L"big");
  big.done = UINT64_C(2684354560);
  big.update(0, true);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.6);
  // A fraction range that runs backwards is followed as given, then clamped by the bar.
  ProgressThrottle down = throttle(10, 1.0, 0.0, L"down");
  down.update(5, true);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.5);

  // Within a flow (while busy) the bar never runs back: a download checked by its digest ends
  // beyond where the install begins, and the bar holds there until the install passes it.
  set_busy(true);
  set_progress(L"正在校验安装包...", bar::kDigest.to);
  set_progress(L"正在安装 Morvell...", bar::kInstalling);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, bar::kDigest.to);
  EXPECT_EQ(ui_trace.last_status, L"正在安装 Morvell...");
  set_progress(L"", bar::kReplacing);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, bar::kReplacing);
  set_busy(false);
  set_busy(true);   // the next flow starts from the start
  set_progress(L"", bar::kPreparing);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, bar::kPreparing);
  set_busy(false);
}

TEST(ProgressThrottle, UnknownTotalPulses) {
  FakeClock clock;
  Shown shown;
  fake_now = 777;
  ProgressThrottle t = throttle(0, 0.1, 0.9, L"正在下载...");
  ui_trace.last_fraction = -1.0;
  t.update(12345, true);
  t.update(99999, false);                   // limited like any other update
  fake_now += 100;
  t.update(99999, false);
  EXPECT_EQ(shown.new_pulses(), 2u);
  EXPECT_EQ(shown.new_updates(), 0u);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, -1.0);
  EXPECT_EQ(ui_trace.last_status, L"正在下载...");
  t.finish_item(50);                        // with no total nothing is counted
  EXPECT_EQ(t.done, 0u);
  EXPECT_EQ(shown.new_pulses(), 1u);
}

TEST(ProgressThrottle, TickCounterWrap) {
  FakeClock clock;
  Shown shown;
  ProgressThrottle t = throttle(100, 0.0, 1.0, L"wrap");
  fake_now = 0xFFFFFFF0u;
  t.update(1, false);
  EXPECT_EQ(shown.new_updates(), 1u);
  fake_now = 0x00000050u;                   // 96 ms later, across the wrap
  t.update(2, false);
  EXPECT_EQ(shown.new_updates(), 0u);
  fake_now = 0x00000053u;                   // 99 ms later
  t.update(3, false);
  EXPECT_EQ(shown.new_updates(), 0u);
  fake_now = 0x00000054u;                   // exactly 100 ms later
  t.update(4, false);
  EXPECT_EQ(shown.new_updates(), 1u);
  EXPECT_EQ(t.last_tick, 0x54u);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.04);

  // A clock that went backwards (or a huge gap) counts as long ago: shown.
  fake_now = 0x00000010u;
  t.update(5, false);
  EXPECT_EQ(shown.new_updates(), 1u);
}

TEST(ProgressThrottle, EmptyTextKeepsStatus) {
  FakeClock clock;
  fake_now = 42;
  set_status(L"before");
  ProgressThrottle t = throttle(10, 0.0, 1.0, L"");
  t.update(5, true);
  EXPECT_EQ(ui_trace.last_status, L"before");
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.5);
  ProgressThrottle p = throttle(0, 0.0, 1.0, L"");
  p.update(0, true);
  EXPECT_EQ(ui_trace.last_status, L"before");
}
