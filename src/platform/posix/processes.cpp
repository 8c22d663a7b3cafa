// POSIX backend: the running processes, as the running-copy search and its ending see them.
#include <errno.h>
#include <signal.h>
#include <sys/types.h>
#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/platform.h"

namespace plat {

namespace {

const std::wstring kDeletedSuffix = L" (deleted)";

bool read_link(const std::string& path, std::string& target) {
  std::vector<char> buffer(PATH_MAX + 64);
  for (int attempt = 0; attempt < 4; ++attempt) {
    ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buffer.size()) {
      target.assign(buffer.data(), static_cast<size_t>(n));
      return true;
    }
    buffer.resize(buffer.size() * 4);
  }
  return false;
}

// The image of a process as the kernel reports it, without the mark of a replaced file.
bool image_of(uint32_t pid, std::wstring& path) {
  std::string target;
  if (!read_link("/proc/" + std::to_string(pid) + "/exe", target) || target.empty()) return false;
  path = utf8_to_wide(target);
  if (path.size() > kDeletedSuffix.size() &&
      path.compare(path.size() - kDeletedSuffix.size(), kDeletedSuffix.size(), kDeletedSuffix) == 0)
    path.resize(path.size() - kDeletedSuffix.size());
  return true;
}

}  // namespace

bool list_processes(std::vector<ProcessInfo>& processes) {
  processes.clear();
  if (injected("list_processes", L"")) return false;
  DIR* proc = opendir("/proc");
  if (!proc) return false;
  while (dirent* e = readdir(proc)) {
    const char* name = e->d_name;
    if (*name < '0' || *name > '9') continue;
    char* end = nullptr;
    unsigned long pid = std::strtoul(name, &end, 10);
    if (*end != '\0' || pid == 0 || pid > 0xFFFFFFFFul) continue;
    ProcessInfo info;
    info.pid = static_cast<uint32_t>(pid);
    std::wstring image;
    if (image_of(info.pid, image)) {
      // Its last component as the rest of the installer splits paths, so that names compare alike.
      info.exe_name = image.substr(image.find_last_of(L"/\\") + 1);
    } else {
      // No access to the image (another user's process, a kernel thread): its short name only.
      std::ifstream comm(std::string("/proc/") + name + "/comm");
      std::string line;
      std::getline(comm, line);
      info.exe_name = utf8_to_wide(line);
    }
    processes.push_back(info);
  }
  closedir(proc);
  return true;
}

bool process_image_path(uint32_t pid, std::wstring& path) { return image_of(pid, path); }

bool ask_process_to_close(uint32_t) { return false; }   // the polite wait is the only asking here

bool terminate_process(uint32_t pid, ProcessHandle& held) {
  held = kNoProcess;
  if (injected("terminate_process", std::to_wstring(pid))) return false;
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX) || pid == current_process_id()) return false;
  // Nothing needs to stay open here. A child of ours is reaped by whoever started it.
  return kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

}  // namespace plat
