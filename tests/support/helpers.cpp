#include "support/helpers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/strings.h"
#include "platform/platform.h"

namespace testing_support {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/morvell-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  char* made = mkdtemp(buffer.data());
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  if (!path_.empty()) run_shell("chmod -R u+rwX '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'");
}

std::wstring TempDir::wide(const std::string& name) const { return W(name.empty() ? path_ : path_ + "/" + name); }

void write_text(const std::string& path, const std::string& content) {
  // Parent folders without a shell, so that any name can be written.
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0755);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static void walk(const std::string& root, const std::string& rel, std::map<std::string, std::string>& out) {
  DIR* dir = opendir((rel.empty() ? root : root + "/" + rel).c_str());
  if (!dir) return;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string r = rel.empty() ? name : rel + "/" + name;
    std::string full = root + "/" + r;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(full.c_str(), target, sizeof target - 1);
      out[r] = "->" + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(st.st_mode)) {
      out[r + "/"] = "";
      walk(root, r, out);
    } else {
      out[r] = read_text(full);
    }
  }
  closedir(dir);
}

std::map<std::string, std::string> snapshot_tree(const std::string& root) {
  std::map<std::string, std::string> out;
  walk(root, "", out);
  return out;
}

int run_shell(const std::string& command) {
  int status = std::system(command.c_str());
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string capture_shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

std::string self_path() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

bool make_zip(const std::string& dir, const std::string& zip) {
  return run_shell("cd '" + dir + "' && rm -f '" + zip + "' && zip -q -r -y '" + zip + "' . >/dev/null") == 0;
}

std::wstring W(const std::string& utf8) { return plat::utf8_to_wide(utf8); }
std::string U(const std::wstring& wide) { return plat::wide_to_utf8(wide); }

}  // namespace testing_support
