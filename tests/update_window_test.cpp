// The update run end to end: the real installer under X, started the way the application starts
// it (--update --package P --install-dir D); error dialogs are dismissed with xdotool and their
// texts read through the dialog spy module.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "install/record.h"
#include "platform/platform.h"
#include "support/build_paths.h"
#include "support/helpers.h"
#include "support/log_reader.h"

using namespace testing_support;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// A process started with fork/exec, with a bounded wait for its end.
struct Child {
  pid_t pid = -1;
  bool done = false;
  int code = -1;
  Child(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env) {
    pid = fork();
    if (pid == 0) {
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Child() {
    if (pid > 0 && !done) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  bool finished() {
    int status = 0;
    if (!done && waitpid(pid, &status, WNOHANG) == pid) {
      done = true;
      code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return done;
  }
  int wait(int timeout_ms) {
    return wait_until(timeout_ms, [&] { return finished(); }) ? code : -1;
  }
};

// An installation D with a changed configuration, the installer copied to D/bin as the
// uninstaller (it runs from inside D), and an update package.
struct Scene {
  TempDir dir;
  std::string d;
  std::string p = dir / "Downloads/Morvell-update.zip";
  std::string installer = d + "/bin/Morvell-Uninstall.exe";
  std::string app_log = dir / "app.log";
  std::string dialog_log = dir / "dialogs.log";

  explicit Scene(const std::string& where = "Morvell Apps/Morvell") : d(dir / where) {
    write_text(d + "/bin/Morvell.exe", "old program");
    write_text(d + "/install-info.json", install_record_text(W(d)));
    run_shell("cp '" + kInstaller + "' '" + installer + "'");
    write_text(d + "/version.txt", "1\n");
    write_text(d + "/config/settings.ini", "theme=dark\n");
    write_text(d + "/config/profiles/me.json", "{\"me\": true}");
    std::string src = dir / "package";
    write_text(src + "/bin/Morvell.exe", "#!/bin/sh\necho \"started $(pwd)\" >> '" + app_log + "'\n");
    chmod((src + "/bin/Morvell.exe").c_str(), 0755);
    write_text(src + "/bin/Morvell-Uninstall.exe", "the package's uninstaller");
    write_text(src + "/version.txt", "2\n");
    write_text(src + "/config/settings.ini", "theme=light\n");
    write_text(src + "/config/plugins.ini", "new=1\n");
    run_shell("mkdir -p '" + dir / "Downloads" + "'");
    EXPECT_TRUE(make_zip(src, p));
  }

  std::unique_ptr<Child> start(const std::vector<std::string>& args) {
    std::vector<std::string> env = {"MORVELL_DIALOG_LOG=" + dialog_log, "HOME=" + dir.path(),
                                    "XDG_DATA_HOME=" + dir / "data"};
    env.push_back("GTK_MODULES=" + kSpy);
    return std::make_unique<Child>(installer, args, env);
  }

  // Waits for the error dialog of `run` (its line in the dialog log is written once it is on
  // screen and the program waits for input), presses Return on it; false when no dialog came.
  bool dismiss_dialog(Child& run) {
    if (!wait_until(60000, [&] { return !dialogs().empty() || run.finished(); }) || dialogs().empty()) return false;
    std::string dialog;
    wait_until(30000, [&] {
      for (const std::string& id : lines_of(capture_shell("timeout 5 xdotool search --onlyvisible --pid " +
                                                          std::to_string(run.pid) + " 2>/dev/null")))
        if (capture_shell("timeout 5 xdotool getwindowname " + id + " 2>/dev/null") != "Morvell 更新器\n") dialog = id;
      return !dialog.empty() || run.finished();
    });
    if (dialog.empty()) return false;
    run_shell("timeout 5 xdotool key --window " + dialog + " Return >/dev/null 2>&1");
    return true;
  }
  std::vector<std::string> dialogs() const { return lines_of(read_text(dialog_log)); }
  void expect_dialog(const std::string& text) const {
    EXPECT_EQ(dialogs(), std::vector<std::string>{"error " + text});
  }
};

#define REQUIRE_DISPLAY()                                                  \
  if (plat::environment_value("DISPLAY").empty()) GTEST_SKIP() << "needs X (xvfb-run)"; \
  if (!exists(kInstaller) || !exists(kSpy)) GTEST_SKIP() << "needs the installer and the dialog spy built"

}  // namespace

TEST(UpdateWindow, UpdatesInPlaceKeepsConfigurationAndRestarts) {
  REQUIRE_DISPLAY();
  Scene s;
  std::string own = read_text(s.installer);
  auto run = s.start({"--update", "--package", s.p, "--install-dir", s.d});
  EXPECT_EQ(run->wait(60000), 0);
  EXPECT_TRUE(s.dialogs().empty());
  EXPECT_EQ(read_text(s.d + "/version.txt"), "2\n");
  EXPECT_EQ(read_text(s.d + "/config/settings.ini"), "theme=dark\n");
  EXPECT_EQ(read_text(s.d + "/config/profiles/me.json"), "{\"me\": true}");
  EXPECT_EQ(read_text(s.d + "/config/plugins.ini"), "new=1\n");
  EXPECT_FALSE(exists(s.p));
  EXPECT_TRUE(read_text(s.installer) == own);   // the running program's own file is not replaced
  EXPECT_FALSE(exists(s.d + "/Morvell-Update-Temp"));
  EXPECT_FALSE(exists(s.d + "/Morvell-Update-Config-Backup"));
  EXPECT_FALSE(exists(s.d + "/bin/Morvell-Installer-Temp"));
  EXPECT_TRUE(exists(s.d + "/install-info.json"));
  wait_until(30000, [&] { return !read_text(s.app_log).empty(); });
  EXPECT_EQ(read_text(s.app_log), "started " + s.d + "/bin\n");
}

// Without --install-dir the default installation (in the user's data folder) is updated.
TEST(UpdateWindow, DefaultInstallDirectory) {
  REQUIRE_DISPLAY();
  Scene s("data/Programs/Morvell");
  auto run = s.start({"--update", "--package", s.p});
  EXPECT_EQ(run->wait(60000), 0);
  EXPECT_EQ(read_text(s.d + "/version.txt"), "2\n");
  EXPECT_EQ(read_text(s.d + "/config/settings.ini"), "theme=dark\n");
  EXPECT_FALSE(exists(s.p));
}

TEST(UpdateWindow, RunningCopiesAreAwaitedOrEnded) {
  REQUIRE_DISPLAY();
  for (const char* mode : {"exit-after", "linger"}) {
    Scene s;
    run_shell("rm -f '" + s.d + "/bin/Morvell.exe' && cp '" + self_path() + "' '" + s.d + "/bin/Morvell.exe'");
    Child app(s.d + "/bin/Morvell.exe", {"--fake-app", mode, "2000"}, {});
    usleep(200000);
    const std::string log = s.dir / "update.log";
    auto run = s.start({"--update", "--package", s.p, "--install-dir", s.d, "--log", log});
    EXPECT_EQ(run->wait(60000), 0) << mode;
    const bool lingers = std::string(mode) == "linger";
    EXPECT_EQ(app.wait(5000), lingers ? 128 + SIGKILL : 0) << mode;
    // The log shows the wait and, for a copy that would not go, that it was ended.
    const std::vector<std::string> events = log_events(read_text(log));
    const std::string ended = "结束正在运行的 Morvell：进程 " + std::to_string(app.pid);
    EXPECT_TRUE(logged_in_order(events, {"运行模式：offline，更新：是", "状态：正在准备更新...", "状态：正在等待 Morvell 退出...",
                                         lingers ? ended : "状态：正在解压更新包...", "状态：正在写入更新文件...",
                                         "启动程序（不等待其结束）：" + s.d + "/bin/Morvell.exe", "退出码：0"}))
        << mode;
    EXPECT_EQ(count_logged(events, "结束正在运行的 Morvell"), lingers ? 1u : 0u) << mode;
    EXPECT_EQ(count_logged(events, "失败"), 0u) << read_text(log);   // nothing failed, not even on the way
    EXPECT_EQ(read_text(s.d + "/version.txt"), "2\n") << mode;
    EXPECT_EQ(read_text(s.d + "/config/settings.ini"), "theme=dark\n") << mode;
    EXPECT_FALSE(exists(s.p)) << mode;
  }
}

TEST(UpdateWindow, FailuresShowTheirMessageAndExitWithFour) {
  REQUIRE_DISPLAY();
  {
    Scene s;
    auto run = s.start({"--update", "--install-dir", s.d});
    EXPECT_TRUE(s.dismiss_dialog(*run));
    EXPECT_EQ(run->wait(20000), 4);
    s.expect_dialog("更新参数不完整。");
    EXPECT_TRUE(exists(s.p));
  }
  {
    Scene s;
    auto run = s.start({"--update", "--package", s.dir / "gone.zip", "--install-dir", s.d});
    EXPECT_TRUE(s.dismiss_dialog(*run));
    EXPECT_EQ(run->wait(20000), 4);
    s.expect_dialog("更新包不存在。");
  }
  {
    Scene s;
    write_text(s.p, "this is not a zip archive");
    auto before = snapshot_tree(s.d);
    auto run = s.start({"--update", "--package", s.p, "--install-dir", s.d});
    EXPECT_TRUE(s.dismiss_dialog(*run));
    EXPECT_EQ(run->wait(20000), 4);
    s.expect_dialog("无法打开安装包。");
    EXPECT_FALSE(exists(s.p));
    auto after = snapshot_tree(s.d);
    for (auto it = after.begin(); it != after.end();)
      it = it->first.rfind("Morvell-Update-Temp", 0) == 0 ? after.erase(it) : std::next(it);
    EXPECT_EQ(after, before);
  }
}
