// Small pieces shared by the POSIX backend files (not part of the platform interface).
#pragma once

#include <sys/types.h>

#include <string>

namespace plat {
namespace posix {

// Opens a regular file with `flags` (never a pipe, socket or device); -1 when there is none.
int open_regular(const std::string& path, int flags, mode_t mode);
// Opens `path` for writing, created or truncated: a link there is replaced, a pipe, socket or
// device there is left alone and the open fails.
int open_destination(const std::string& path, mode_t mode);

// The fault seam for `op` on `path`: true when a test makes it fail, with EIO set and reported.
bool injected(const char* op, const std::wstring& path);
// `op` on `path` refused by a check of ours, before any system call: `code` set and reported.
bool refused(const char* op, const std::wstring& path, int code);

}  // namespace posix
}  // namespace plat
