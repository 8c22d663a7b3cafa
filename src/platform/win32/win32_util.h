// Small pieces shared by the Windows backend files (not part of the platform interface).
#pragma once

#include <string>

namespace plat {
namespace win32 {

// The path with every "/" turned into "\": the shell and the command interpreter want the latter.
std::wstring native_separators(const std::wstring& path);

// Creates the missing directories above `path`; false when one of them could not be made.
bool create_parents(const std::wstring& path);

// The fault seam for `op` on `path`: true when a test makes it fail, with ERROR_IO_DEVICE set
// and reported.
bool injected(const char* op, const std::wstring& path);
// `op` on `path` refused by a check of ours, before any system call: `code` set and reported.
bool refused(const char* op, const std::wstring& path, unsigned long code);

// COM in the single-threaded apartment for the lifetime of the object; left only when entered here.
class ComApartment {
 public:
  ComApartment();
  ~ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool entered_ = false;
};

}  // namespace win32
}  // namespace plat
