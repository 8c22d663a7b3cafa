// The fault seam shared by every backend: tests ask for the Nth operation to fail. Every
// operation asks it through injected(), so that an injected failure sets the system's error and
// reaches the failure listener as a real one would.
#include "platform/backend.h"
#include "platform/platform.h"

namespace plat {

static FaultHook& fault_hook_slot() {
  static FaultHook hook;
  return hook;
}

void set_fault_hook(FaultHook hook) { fault_hook_slot() = std::move(hook); }

bool fault_injected(const char* op, const std::wstring& path) {
  FaultHook& hook = fault_hook_slot();
  return hook && hook(op, path);
}

bool injected(const char* op, const std::wstring& path) {
  if (!fault_injected(op, path)) return false;
  backend::set_last_error(backend::kInjectedFault);
  report_failure(op, path);
  return true;
}

bool refused(const char* op, const std::wstring& path, SystemError code) {
  backend::set_last_error(code);
  return report_failure(op, path);
}

}  // namespace plat
