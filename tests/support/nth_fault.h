// A fault sweep's one run: the n-th operation that changes the disk or a process fails, once.
#pragma once

#include <set>
#include <string>

#include "platform/platform.h"
#include "support/helpers.h"

namespace testing_support {

// Installs the fault hook for its lifetime. How often a running unpacker is polled depends on
// the machine's speed: only the first wait for each process counts, so that every run meets the
// same operations in the same order.
class NthOperationFails {
 public:
  explicit NthOperationFails(int n) {
    plat::set_fault_hook([this, n](const char* op, const std::wstring& path) {
      if (std::string(op) == "wait_process" && !awaited_.insert(path).second) return false;
      if (++count_ != n) return false;
      failed_ = std::string(op) + " " + U(path);
      return true;
    });
  }
  ~NthOperationFails() { plat::set_fault_hook(nullptr); }
  NthOperationFails(const NthOperationFails&) = delete;
  NthOperationFails& operator=(const NthOperationFails&) = delete;
  int count() const { return count_; }              // operations asked about so far
  const std::string& failed() const { return failed_; }   // "op path" of the one that failed

 private:
  int count_ = 0;
  std::string failed_;
  std::set<std::wstring> awaited_;
};

}  // namespace testing_support
