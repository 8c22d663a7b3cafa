// Driving the real installer's window in the end-to-end tests: a private X server per test
// (Xvfb, so that no other window can take a click), a private home, the program as a child,
// its buttons pressed and its dialogs dismissed with xdotool. A GTK module built for the tests
// (libmorvell-dialog-spy, loaded through GTK_MODULES) records the text of every message dialog.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/build_paths.h"
#include "support/helpers.h"

namespace testing_support {


// A private X server for one test: Xvfb picks a free display number and reports it once it
// listens. It never resets: by default an X server starts afresh whenever its last client leaves
// (here, every xdotool call made before the installer has connected), and a program that
// connects during that reset is refused and reports that it has no display.
class XServer {
 public:
  XServer() {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pollfd p{fds[0], POLLIN, 0};
    while (pid_ > 0) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
      char c;
      if (left <= 0 || poll(&p, 1, left) <= 0 || read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    close(fds[0]);
    if (number.empty()) return;   // no Xvfb here: the window tests are skipped
    // Serving: a client can open the display.
    const std::string probe = "DISPLAY=:" + number + " xdotool getdisplaygeometry >/dev/null 2>&1";
    if (wait_until(60000, [&] { return run_shell(probe) == 0; }))
      display_ = ":" + number;
    else
      ADD_FAILURE() << "Xvfb reported display :" << number << " but took no client within 60 s";
  }
  ~XServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// One private home, application log and dialog log for a test.
struct Desk {
  XServer x;
  TempDir dir;
  TempDir logs;   // kept apart from the trees under test
  std::string home = dir / "home";
  std::string app_log = logs / "app.log";
  std::string dialog_log = logs / "dialogs.log";
  std::string ready_log = logs / "ready.log";   // "ready" once a window's start-up work is done
  std::string output = logs / "programs.log";   // what the programs under test print
  std::string desktop_link() const { return home + "/Desktop/Morvell" + U(plat::kShortcutExtension); }
  std::string menu() const { return home + "/.local/share/applications/Morvell"; }
  std::string pack(const std::string& package, const std::string& name) const {
    std::string output = dir / name;
    EXPECT_EQ(run_shell("'" + kPack + "' --installer '" + kInstaller + "' --package '" + package + "' --output '" +
                        output + "' >/dev/null"),
              0);
    return output;
  }
  std::vector<std::string> dialogs() const { return lines_of(read_text(dialog_log)); }
  std::string xdotool() const { return "DISPLAY=" + x.display() + " xdotool "; }
  size_t launches() const { return lines_of(read_text(app_log)).size(); }
};

// The installer running as a child of the test, driven through X.
class Gui {
 public:
  Gui(const Desk& desk, const std::string& program, const std::vector<std::string>& args,
      const std::map<std::string, std::string>& extra_env = {})
      : desk_(desk) {
    std::map<std::string, std::string> env = {
        {"HOME", desk.home}, {"MORVELL_APP_LOG", desk.app_log}, {"MORVELL_APP_EXIT", "1"},
        {"MORVELL_DIALOG_LOG", desk.dialog_log},
        {"MORVELL_READY_LOG", desk.ready_log}, {"GTK_MODULES", kSpy}, {"DISPLAY", desk.x.display()}};
    env.insert(extra_env.begin(), extra_env.end());
    unlink(desk.ready_log.c_str());
    pid_ = fork();
    if (pid_ == 0) {
      for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
      int out = open(desk.output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
      unsetenv("XDG_DATA_HOME");
      unsetenv("XDG_CONFIG_HOME");
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(program.c_str()));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Gui() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // The main window, once it is on screen and the program has done its start-up work (the
  // version list read, in the online window) and waits for clicks. A new Gui on the same desk
  // starts a new ready log.
  bool wait_window(int timeout_ms = 90000) {
    bool shown = wait_until(timeout_ms, [&] {
      if (window_.empty())
        for (const std::string& id : windows())
          if (capture_shell(desk_.xdotool() + "getwindowname " + id + " 2>/dev/null") == "Morvell 安装器\n") window_ = id;
      if (!window_.empty() && read_text(desk_.ready_log) == "ready\n") return true;
      return has_exited();
    });
    if (shown && !has_exited()) return true;
    ADD_FAILURE() << "no window; exit code " << code_ << ", window " << (window_.empty() ? "not shown" : window_)
                  << ", output: " << read_text(desk_.output);
    return false;
  }
  void press_action() { click(window_, 18 + 42, 18 + 14); }
  // A key (an xdotool key name: "Return", "Escape") sent to the main window, for its focused control.
  void press_key(const std::string& key) {
    run_shell(desk_.xdotool() + "key --window " + window_ + " " + key + " >/dev/null 2>&1");
  }
  // The main window's place on the screen: "X", "Y", "WIDTH", "HEIGHT".
  std::map<std::string, int> geometry() { return geometry_of(window_); }
  void press_cancel() { click(window_, 18 + 85 + 8 + 42, 18 + 14); }

  // Waits until the dialog log has `count` lines (each written once its dialog is on screen and
  // the program waits for input) and the dialog is mapped, then presses Return on it.
  bool dismiss_dialog(size_t count, int timeout_ms = 120000) {
    if (!wait_until(timeout_ms, [&] { return desk_.dialogs().size() >= count || has_exited(); }) ||
        desk_.dialogs().size() < count)
      return false;
    std::string dialog;
    wait_until(30000, [&] {
      for (const std::string& id : windows())
        if (id != window_) dialog = id;
      return !dialog.empty() || has_exited();
    });
    if (dialog.empty()) return false;
    run_shell(desk_.xdotool() + "key --window " + dialog + " Return >/dev/null 2>&1");
    return true;
  }
  // The exit code once the process has ended, or -1 after the time-out.
  int wait_exit(int timeout_ms = 30000) { return wait_until(timeout_ms, [&] { return has_exited(); }) ? code_ : -1; }
  bool has_exited() {
    if (exited_) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return exited_;
  }

 private:
  std::vector<std::string> windows() {
    return lines_of(capture_shell(desk_.xdotool() + "search --onlyvisible --pid " + std::to_string(pid_) + " 2>/dev/null"));
  }
  std::map<std::string, int> geometry_of(const std::string& id) {
    std::map<std::string, int> g;
    for (const std::string& line : lines_of(capture_shell(desk_.xdotool() + "getwindowgeometry --shell " + id))) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) g[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
    }
    return g;
  }
  void click(const std::string& id, int from_right, int from_bottom) {
    std::map<std::string, int> g = geometry_of(id);
    int x = g["X"] + g["WIDTH"] - from_right, y = g["Y"] + g["HEIGHT"] - from_bottom;
    run_shell(desk_.xdotool() + "mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1 >/dev/null 2>&1");
  }

  const Desk& desk_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
  std::string window_;
};

#define REQUIRE_X(desk) \
  if ((desk).x.display().empty()) GTEST_SKIP() << "needs Xvfb (package xvfb)"


}  // namespace testing_support
