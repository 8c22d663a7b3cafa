// The uninstall script: a small sh script that outlives the uninstaller and removes the
// installation after it has exited.
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/platform.h"

extern char** environ;

namespace plat {

const wchar_t kRemovalScriptName[] = L"morv-uninstall.sh";

// One sh word that stands for exactly these bytes: single quotes keep everything literal
// (newlines, $, backticks, double quotes), and a single quote itself is written as '\''.
static std::string sh_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += "'";
  return out;
}

std::string removal_script_text(const std::wstring& install_dir, const std::wstring& work_dir,
                                const std::wstring& mark) {
  const std::string install = sh_quote(wide_to_utf8(install_dir));
  const std::string marked = sh_quote(wide_to_utf8(install_dir) + "/" + wide_to_utf8(mark));
  const std::string lock = sh_quote(wide_to_utf8(install_dir) + ".lock");
  std::string text = "#!/bin/sh\n";
  text += "sleep 2\n";
  // Under the installation's lock, so that no install starts there while it goes; the lock file
  // goes while still held, as every run of the installer leaves it.
  text += "if command -v flock >/dev/null 2>&1; then\n";
  text += "  exec 9>>" + lock + " || exit 0\n";
  text += "  flock -n 9 || exit 0\n";
  text += "  unlock() { rm -f -- " + lock + "; }\n";
  text += "else\n";
  text += "  unlock() { :; }\n";
  text += "fi\n";
  // An installation made there since carries no mark: it stays, and so does its work folder.
  text += "[ -f " + marked + " ] || { unlock; exit 0; }\n";
  text += "rm -rf -- " + install + "\n";
  text += "unlock\n";
  text += "cd \"${TMPDIR:-/tmp}\" 2>/dev/null || cd /tmp\n";
  text += "rm -rf -- " + sh_quote(wide_to_utf8(work_dir)) + "\n";
  return text;
}

bool run_script_detached(const std::wstring& script, const std::wstring& install_dir, const std::wstring& work_dir,
                         const std::wstring& mark) {
  if (injected("run_script_detached", script)) return false;
  const std::string path = wide_to_utf8(script);
  // Everything the child needs is made before the fork: it only closes, duplicates and execs.
  const std::string install = "MORVELL_INSTALL_DIR=" + wide_to_utf8(install_dir);
  const std::string work = "MORVELL_WORK_DIR=" + wide_to_utf8(work_dir);
  const std::string marked = "MORVELL_UNINSTALL_MARK=" + wide_to_utf8(mark);
  std::vector<const char*> envp;
  for (char** entry = environ; entry && *entry; ++entry)
    if (std::strncmp(*entry, "MORVELL_INSTALL_DIR=", 20) != 0 && std::strncmp(*entry, "MORVELL_WORK_DIR=", 17) != 0 &&
        std::strncmp(*entry, "MORVELL_UNINSTALL_MARK=", 23) != 0)
      envp.push_back(*entry);
  envp.push_back(install.c_str());
  envp.push_back(work.c_str());
  envp.push_back(marked.c_str());
  envp.push_back(nullptr);
  const char* const argv[] = {"sh", path.c_str(), nullptr};
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    // The intermediate child starts the script in a session of its own and leaves at once,
    // so the script is nobody's child here and outlives this process and its terminal.
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    long max_fd = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (max_fd > 0 && max_fd < 65536 ? max_fd : 65536); ++fd) close(static_cast<int>(fd));
    execve("/bin/sh", const_cast<char* const*>(argv), const_cast<char* const*>(envp.data()));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace plat
