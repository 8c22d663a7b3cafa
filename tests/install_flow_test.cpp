// The Install and Uninstall buttons end to end: the real installer on an X server of the test's
// own (Xvfb, so that no other window can take a click), its buttons pressed and its dialogs
// dismissed with xdotool; a GTK module built for the tests (libmorvell-dialog-spy) records the
// text of every message dialog it shows.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

const std::string kBuild = MORVELL_BINARY_DIR;
const std::string kInstaller = kBuild + "/morvell-installer";
const std::string kLoopback = kBuild + "/morvell-installer-loopback";
const std::string kPack = kBuild + "/morvell-pack";
const std::string kSpy = kBuild + "/tests/libmorvell-dialog-spy.so";
const std::string kOld = kBuild + "/sample/Morvell-6.1.16.zip";
const std::string kNew = kBuild + "/sample/Morvell-6.1.17.zip";

// A private X server for one test: Xvfb picks a free display number and reports it.
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
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (pid_ > 0 && poll(&p, 1, 15000) > 0) {
      char c;
      if (read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
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

std::vector<std::string> lines_of(const std::string& text) {
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
        {"MORVELL_DIALOG_LOG", desk.dialog_log}, {"GTK_MODULES", kSpy}, {"DISPLAY", desk.x.display()}};
    env.insert(extra_env.begin(), extra_env.end());
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

  // The main window, once it is shown (bounded wait).
  bool wait_window() {
    for (int i = 0; i < 200; ++i) {
      for (const std::string& id : windows())
        if (capture_shell(desk_.xdotool() + "getwindowname " + id + " 2>/dev/null") == "Morvell 安装器\n") {
          window_ = id;
          plat::sleep_ms(300);   // let the first idle work (the version list) settle
          return true;
        }
      if (has_exited()) break;
      plat::sleep_ms(50);
    }
    ADD_FAILURE() << "no window; exit code " << code_ << ", output: " << read_text(desk_.output);
    return false;
  }
  void press_action() { click(window_, 18 + 42, 18 + 14); }
  void press_cancel() { click(window_, 18 + 85 + 8 + 42, 18 + 14); }

  // Waits until the dialog log has `count` lines and the dialog is on screen, then presses Return on it.
  bool dismiss_dialog(size_t count, int timeout_ms = 120000) {
    for (int waited = 0; waited < timeout_ms; waited += 50) {
      if (desk_.dialogs().size() >= count) {
        for (int i = 0; i < 100; ++i) {
          for (const std::string& id : windows())
            if (id != window_) {
              plat::sleep_ms(150);
              run_shell(desk_.xdotool() + "key --window " + id + " Return >/dev/null 2>&1");
              return true;
            }
          plat::sleep_ms(50);
        }
        return false;
      }
      if (has_exited()) return false;
      plat::sleep_ms(50);
    }
    return false;
  }
  // The exit code once the process has ended, or -1 after the time-out.
  int wait_exit(int timeout_ms = 30000) {
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
      if (has_exited()) return code_;
      plat::sleep_ms(50);
    }
    return -1;
  }
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
  void click(const std::string& id, int from_right, int from_bottom) {
    std::map<std::string, int> g;
    for (const std::string& line : lines_of(capture_shell(desk_.xdotool() + "getwindowgeometry --shell " + id))) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) g[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
    }
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

}  // namespace

TEST(InstallWindow, OfflineInstallFromTheWindow) {
  Desk desk;
  REQUIRE_X(desk);
  std::string setup = desk.pack(kOld, "Morvell-Setup.exe");
  std::string d = desk.dir / "Programs/Morvell";
  Gui gui(desk, setup, {"--offline", "--install-dir", "  " + d + "/  "});
  ASSERT_TRUE(gui.wait_window());
  gui.press_action();
  ASSERT_TRUE(gui.dismiss_dialog(1));
  EXPECT_EQ(gui.wait_exit(), 0);
  EXPECT_EQ(desk.dialogs(), std::vector<std::string>{"info Morvell 安装完成"});
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.16\n");
  EXPECT_TRUE(read_text(d + "/bin/Morvell-Uninstall.exe") == read_text(setup));
  EXPECT_TRUE(exists(d + "/install-info.json"));
  EXPECT_TRUE(exists(desk.desktop_link()));
  EXPECT_TRUE(exists(desk.menu()));
  EXPECT_FALSE(exists(desk.dir / "Morvell-Installer-Temp"));
  for (int i = 0; i < 100 && desk.launches() == 0; ++i) plat::sleep_ms(50);
  EXPECT_EQ(desk.launches(), 1u);
}

TEST(InstallWindow, EmptyDirectoryIsRefusedAndTheWindowStays) {
  Desk desk;
  REQUIRE_X(desk);
  std::string setup = desk.pack(kOld, "Morvell-Setup.exe");
  Gui gui(desk, setup, {"--offline", "--install-dir", "   "});
  ASSERT_TRUE(gui.wait_window());
  gui.press_action();
  ASSERT_TRUE(gui.dismiss_dialog(1));
  plat::sleep_ms(300);
  EXPECT_FALSE(gui.has_exited());
  EXPECT_EQ(desk.dialogs(), std::vector<std::string>{"error 请选择安装目录。"});
  EXPECT_FALSE(exists(desk.dir / "Morvell-Installer-Temp"));
  gui.press_cancel();
  EXPECT_EQ(gui.wait_exit(), 0);
}

TEST(InstallWindow, NamedPackageInBothModesIsInstalledAndKept) {
  Desk desk;
  REQUIRE_X(desk);
  std::string package = desk.dir / "downloads/Morvell-6.1.17.zip";
  ASSERT_EQ(run_shell("mkdir -p '" + desk.dir.path() + "/downloads' && cp '" + kNew + "' '" + package + "'"), 0);
  // Offline mode: the named package beats the carried one, which is never copied out.
  std::string setup = desk.pack(kOld, "Morvell-Setup.exe");
  std::string d = desk.dir / "A";
  {
    Gui gui(desk, setup, {"--offline", "--no-launch", "--package", package, "--install-dir", d});
    ASSERT_TRUE(gui.wait_window());
    gui.press_action();
    ASSERT_TRUE(gui.dismiss_dialog(1));
    EXPECT_EQ(gui.wait_exit(), 0);
  }
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.17\n");
  EXPECT_TRUE(read_text(package) == read_text(kNew));
  EXPECT_FALSE(exists(desk.dir / "Morvell-Installer-Temp"));
  // Online mode (no update server answers): the version list is ignored. The installer runs
  // from a folder of its own so that its work directory is nobody else's.
  std::string e = desk.dir / "B";
  std::string online = desk.dir / "online/morvell-installer";
  ASSERT_EQ(run_shell("mkdir -p '" + desk.dir.path() + "/online' && cp '" + kLoopback + "' '" + online + "'"), 0);
  {
    Gui gui(desk, online, {"--no-launch", "--package", package, "--install-dir", e});
    ASSERT_TRUE(gui.wait_window());
    gui.press_action();
    ASSERT_TRUE(gui.dismiss_dialog(2));
    EXPECT_EQ(gui.wait_exit(), 0);
  }
  EXPECT_EQ(read_text(e + "/version.txt"), "6.1.17\n");
  EXPECT_TRUE(read_text(package) == read_text(kNew));
  EXPECT_FALSE(exists(desk.dir / "online/Morvell-Installer-Temp"));
  EXPECT_EQ(desk.dialogs(), (std::vector<std::string>{"info Morvell 安装完成", "info Morvell 安装完成"}));
  // A named package that does not exist.
  {
    Gui gui(desk, setup, {"--offline", "--package", desk.dir / "missing.zip", "--install-dir", d});
    ASSERT_TRUE(gui.wait_window());
    gui.press_action();
    ASSERT_TRUE(gui.dismiss_dialog(3));
    gui.press_cancel();
    EXPECT_EQ(gui.wait_exit(), 0);
  }
  EXPECT_EQ(desk.dialogs().back(), "error 更新包不存在。");
  EXPECT_EQ(desk.launches(), 0u);
}

TEST(UninstallWindow, RemovesTheInstallationAndItsShortcuts) {
  Desk desk;
  REQUIRE_X(desk);
  std::string setup = desk.pack(kOld, "Morvell-Setup.exe");
  std::string d = desk.dir / "Programs/Morvell";
  ASSERT_EQ(run_shell("env -u DISPLAY HOME='" + desk.home + "' '" + setup + "' --silent-install --no-launch --install-dir '" +
                      d + "'"),
            0);
  ASSERT_TRUE(exists(desk.desktop_link()));
  ASSERT_TRUE(exists(desk.menu()));
  Gui gui(desk, d + "/bin/Morvell-Uninstall.exe", {});
  ASSERT_TRUE(gui.wait_window());
  gui.press_action();
  EXPECT_EQ(gui.wait_exit(), 0);
  EXPECT_FALSE(exists(desk.desktop_link()));
  EXPECT_FALSE(exists(desk.menu()));
  for (int i = 0; i < 200 && exists(d); ++i) plat::sleep_ms(50);
  EXPECT_FALSE(exists(d));
  EXPECT_TRUE(is_dir(desk.dir / "Programs"));
  EXPECT_TRUE(desk.dialogs().empty());
}

TEST(UninstallWindow, RefusesAFolderThatIsNotAnInstallation) {
  Desk desk;
  REQUIRE_X(desk);
  std::string downloads = desk.dir / "Downloads";
  write_text(downloads + "/holiday.jpg", "photo");
  std::string setup = desk.pack(kOld, "Downloads/Morvell-Setup.exe");
  write_text(desk.desktop_link(), "[Desktop Entry]\n");
  auto before = snapshot_tree(desk.dir.path());
  Gui gui(desk, setup, {"--uninstall"});
  ASSERT_TRUE(gui.wait_window());
  gui.press_action();
  ASSERT_TRUE(gui.dismiss_dialog(1));
  plat::sleep_ms(300);
  EXPECT_FALSE(gui.has_exited());
  EXPECT_EQ(desk.dialogs(), std::vector<std::string>{"error 无法识别安装目录，卸载已取消。"});
  gui.press_cancel();
  EXPECT_EQ(gui.wait_exit(), 0);
  plat::sleep_ms(2500);
  EXPECT_TRUE(snapshot_tree(desk.dir.path()) == before);
}

namespace {

// The update server of morvell-installer-loopback: HTTPS on 127.0.0.1:47443 with a certificate
// authority made for the test, serving the files under `root`.
struct UpdateServer {
  std::string root, certs, log, pid_file;
  explicit UpdateServer(const std::string& base)
      : root(base + "/server"), certs(base + "/certs"), log(base + "/server.log"), pid_file(base + "/server.pid") {
    run_shell("mkdir -p '" + root + "/updates' '" + root + "/files'");
    run_shell("python3 '" MORVELL_SOURCE_DIR "/tools/loopback-update-server.py' --root '" + root + "' --certs '" +
              certs + "' --port 47443 --parent " + std::to_string(getpid()) + " >'" + log + "' 2>&1 & echo $! >'" +
              pid_file + "'");
  }
  ~UpdateServer() {
    int pid = std::atoi(read_text(pid_file).c_str());
    if (pid > 0) kill(pid, SIGTERM);
  }
  bool ready() const {
    for (int i = 0; i < 300; ++i) {
      if (read_text(log).find("ready") != std::string::npos) return true;
      plat::sleep_ms(50);
    }
    return false;
  }
  std::string url(const std::string& path) const { return "https://127.0.0.1:47443/" + path; }
  void releases(const std::string& json) const { write_text(root + "/updates/releases.json", json); }
  std::string ca() const { return certs + "/ca.pem"; }
};

std::string sha256_of(const std::string& path) {
  return capture_shell("sha256sum '" + path + "' | cut -c1-64 | tr -d '\\n'");
}

std::string entry(const std::string& version, const std::string& file_name, const std::string& url,
                  const std::string& sha256, const std::string& kind) {
  return "{\"version\": \"" + version + "\", \"file_name\": \"" + file_name + "\", \"download_url\": \"" + url +
         "\", \"sha256\": \"" + sha256 + "\", \"kind\": \"" + kind + "\", \"release_notes\": \"Morvell " + version +
         "\"}";
}

}  // namespace

TEST(InstallWindow, OnlineInstallAgainstALoopbackServer) {
  Desk desk;
  REQUIRE_X(desk);
  UpdateServer server(desk.dir.path());
  ASSERT_TRUE(server.ready()) << read_text(server.log);
  // The installer runs from a folder of its own, so that its work directory is the test's.
  const std::string installer = desk.dir / "online/morvell-installer";
  const std::string work = desk.dir / "online/Morvell-Installer-Temp";
  ASSERT_EQ(run_shell("mkdir -p '" + desk.dir.path() + "/online' && cp '" + kLoopback + "' '" + installer + "'"), 0);
  const std::map<std::string, std::string> trust = {{"SSL_CERT_FILE", server.ca()}};

  const std::string zip = server.root + "/files/Morvell-6.1.17.zip";
  ASSERT_EQ(run_shell("cp '" + kNew + "' '" + zip + "'"), 0);
  const std::string setup = desk.pack(kNew, "Morvell-Setup.exe");
  ASSERT_EQ(run_shell("cp '" + setup + "' '" + server.root + "/files/Morvell-Setup.exe'"), 0);
  write_text(server.root + "/files/elsewhere/installer", "#!/bin/sh\nexit 0\n");
  write_text(server.root + "/files/failing/Setup.EXE", "#!/bin/sh\nexit 3\n");
  const std::string digest = sha256_of(zip);
  ASSERT_EQ(digest.size(), 64u);
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  size_t dialogs = 0;
  // Runs the window with the manifest, presses Install and returns the dialog's line.
  auto press_install = [&](const std::string& manifest, const std::string& dir, bool succeeds) {
    server.releases(manifest);
    Gui gui(desk, installer, {"--install-dir", dir}, trust);
    EXPECT_TRUE(gui.wait_window());
    plat::sleep_ms(1200);   // the version list is read from the server first
    gui.press_action();
    EXPECT_TRUE(gui.dismiss_dialog(++dialogs));
    if (succeeds) {
      EXPECT_EQ(gui.wait_exit(), 0);
    } else {
      plat::sleep_ms(300);
      EXPECT_FALSE(gui.has_exited());
      gui.press_cancel();
      EXPECT_EQ(gui.wait_exit(), 0);
    }
    EXPECT_FALSE(exists(work));
    auto lines = desk.dialogs();
    return lines.size() == dialogs ? lines.back() : std::string("(no dialog)");
  };

  // A zip release with its digest: downloaded, checked, installed; the first entry is the default.
  const std::string a = desk.dir / "A";
  EXPECT_EQ(press_install("{\"releases\": [" + entry("6.1.17", "Morvell-6.1.17.zip", server.url("files/Morvell-6.1.17.zip"), digest, "portable") +
                              ", " + entry("6.1.16", "Morvell-6.1.16.zip", server.url("files/none.zip"), "", "") + "]}",
                          a, true),
            "info Morvell 安装完成");
  EXPECT_EQ(read_text(a + "/version.txt"), "6.1.17\n");
  EXPECT_TRUE(exists(a + "/install-info.json"));

  // The digest written in capitals never matches: nothing is unpacked.
  const std::string b = desk.dir / "B";
  EXPECT_EQ(press_install("{\"releases\": [" + entry("6.1.17", "Morvell-6.1.17.zip", server.url("files/Morvell-6.1.17.zip"), upper, "") + "]}",
                          b, false),
            "error 安装包校验失败。");
  EXPECT_FALSE(exists(b));
  EXPECT_FALSE(exists(b + ".new"));

  // An installer program: downloaded, made executable, run silently for the chosen directory.
  const std::string c = desk.dir / "C dir";
  EXPECT_EQ(press_install("{\"releases\": [" + entry("6.1.17", "Morvell-Setup-6.1.17.exe", server.url("files/Morvell-Setup.exe"),
                                                   sha256_of(setup), "installer") + "]}",
                          c, true),
            "info Morvell 安装完成");
  EXPECT_EQ(read_text(c + "/version.txt"), "6.1.17\n");
  EXPECT_TRUE(read_text(c + "/bin/Morvell-Uninstall.exe") == read_text(setup));

  // An address ending in /installer is an installer program too; this one installs nothing.
  const std::string d = desk.dir / "D";
  EXPECT_EQ(press_install("{\"releases\": [" + entry("6.1.17", "Morvell.zip", server.url("files/elsewhere/installer"), "", "") + "]}",
                          d, false),
            "error 安装包没有安装到所选目录，请重新选择安装位置后重试。");
  EXPECT_FALSE(exists(d + "/bin/Morvell.exe"));

  // A file name ending in .EXE: an installer program, which fails with code 3.
  EXPECT_EQ(press_install("{\"releases\": [" + entry("6.1.17", "Setup.EXE", server.url("files/failing/Setup.EXE"), "", "") + "]}",
                          d, false),
            "error 外部进程执行失败。");

  // No version list at all: the press asks for a version.
  EXPECT_EQ(press_install("not json", d, false), "error 请选择要安装的版本。");
  for (int i = 0; i < 100 && desk.launches() < 2; ++i) plat::sleep_ms(50);
  EXPECT_EQ(desk.launches(), 2u);   // the zip install and the child installer each started it once
}
