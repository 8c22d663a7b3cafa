// The fault seam shared by every backend: tests ask for the Nth operation to fail.
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

}  // namespace plat
