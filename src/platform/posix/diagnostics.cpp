// POSIX backend: what the install log and the command-line answers need from the system:
// wall-clock time, the last failure in the system's own words, appending whole lines.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/posix/posix_util.h"

namespace plat {

std::string local_time_text() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000L);
  return text;
}

std::string last_error_text() {
  const int code = errno;
  char buffer[256] = {};
  // The GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return "errno " + std::to_string(code) + ": " + (text ? text : buffer);
}

namespace backend {

const SystemError kInjectedFault = EIO;
const SystemError kNoSuchPath = ENOENT;
const SystemError kBadHandle = EBADF;
const SystemError kInvalidArgument = EINVAL;

SystemError last_error() { return static_cast<SystemError>(errno); }

void set_last_error(SystemError code) { errno = static_cast<int>(code); }

}  // namespace backend

void show_user_text(const std::string& text, bool error_stream, bool) {
  std::FILE* stream = error_stream ? stderr : stdout;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

FileHandle open_for_appending(const std::wstring& path) {
  if (path.empty()) return kNoFile;
  // O_APPEND: the kernel moves to the end and writes in one step, so lines of concurrent runs
  // never overwrite or cut into each other.
  // Never through a link (into somebody else's file) and never a pipe, which would hold the run.
  int fd = posix::open_regular(wide_to_utf8(path), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0644);
  return fd < 0 ? kNoFile : static_cast<FileHandle>(fd);
}

}  // namespace plat
