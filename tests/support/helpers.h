// Shared test helpers: temporary directories, whole-file I/O, child programs.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A fresh directory under the system temporary folder, removed (with all in it) at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::wstring wide(const std::string& name = "") const;

 private:
  std::string path_;
};

void write_text(const std::string& path, const std::string& content);   // creates parent folders
std::string read_text(const std::string& path);                         // "" when missing
bool exists(const std::string& path);
bool is_dir(const std::string& path);
// Relative path -> content for every file under root (links shown as "->target").
std::map<std::string, std::string> snapshot_tree(const std::string& root);
// Runs a shell command line, returns its exit status (-1 when it could not run).
int run_shell(const std::string& command);
// Runs a command and returns what it printed on standard output.
std::string capture_shell(const std::string& command);
// Path of the running test program (it can be re-run as a child: see test_main.cpp).
std::string self_path();
// Builds a zip of the tree at `dir` into `zip` (with the zip tool); true on success.
bool make_zip(const std::string& dir, const std::string& zip);
// Waits, by the clock, until `ready()` holds (true) or `limit_ms` has passed (false), looking every 20 ms.
template <typename Ready>
bool wait_until(int limit_ms, Ready ready) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    if (ready()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
std::wstring W(const std::string& utf8);
std::string U(const std::wstring& wide);

}  // namespace testing_support
