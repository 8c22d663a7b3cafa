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

}  // namespace posix
}  // namespace plat
