// Reading an install log in the tests: its events in order, each line's timestamp checked.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

// True when `line` starts with a local timestamp "YYYY-MM-DD HH:MM:SS.mmm " and has text after it.
inline bool has_log_timestamp(const std::string& line) {
  const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
  if (line.size() <= shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
  }
  return true;
}

// The events of a log text without their timestamps; a line without one (a cut or merged line)
// comes back whole behind "MALFORMED: ", so that comparisons show it.
inline std::vector<std::string> log_events(const std::string& text) {
  std::vector<std::string> events;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    events.push_back(has_log_timestamp(line) ? line.substr(24) : "MALFORMED: " + line);
  if (!text.empty() && text.back() != '\n') events.push_back("MALFORMED: no line end at the end");
  return events;
}

// Success when `events` holds, in this order, lines that contain each of `parts`.
inline ::testing::AssertionResult logged_in_order(const std::vector<std::string>& events,
                                                  const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    while (at < events.size() && events[at].find(part) == std::string::npos) ++at;
    if (at == events.size()) {
      std::string shown;
      for (const std::string& e : events) shown += "\n  " + e;
      return ::testing::AssertionFailure() << "no line with \"" << part << "\" in order in the log:" << shown;
    }
    ++at;
  }
  return ::testing::AssertionSuccess();
}

// How many events contain `part`.
inline size_t count_logged(const std::vector<std::string>& events, const std::string& part) {
  size_t n = 0;
  for (const std::string& e : events) n += e.find(part) != std::string::npos;
  return n;
}

}  // namespace testing_support
