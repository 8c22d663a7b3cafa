// The failure listener shared by every backend: failures of operations that change the disk
// reach the install log with the system's own words, and the system's last error survives the
// telling, for the failing caller to read.
#include <utility>

#include "platform/backend.h"
#include "platform/platform.h"

namespace plat {

static FailureListener& failure_listener() {
  static FailureListener listener;
  return listener;
}

void set_failure_listener(FailureListener listener) { failure_listener() = std::move(listener); }

bool report_failure(const char* op, const std::wstring& path, const std::wstring& to) {
  const FailureListener& listener = failure_listener();
  if (!listener) return false;
  const SystemError code = backend::last_error();
  listener(op, to.empty() ? path : path + L" -> " + to, last_error_text());
  backend::set_last_error(code);   // the caller may still read why it failed
  return false;
}

}  // namespace plat
