// Small pieces shared by the Windows backend files (not part of the platform interface).
#pragma once

#include <string>

namespace plat {
namespace win32 {

// The path with every "/" turned into "\": the shell and the command interpreter want the latter.
std::wstring native_separators(const std::wstring& path);

// Creates the missing directories above `path`; false when one of them could not be made.
bool create_parents(const std::wstring& path);

// `handle` when it is open on a regular file on disk (no reparse point, folder, pipe or device),
// else closes it and gives INVALID_HANDLE_VALUE with ERROR_INVALID_FUNCTION set.
void* regular_file_only(void* handle);

// The object behind `handle` (opened with READ_CONTROL) is owned by the user running us: its
// owner is this user, or the owner this user's new files get (an administrator's group).
bool owned_by_this_user(void* handle);

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
