// The update run end to end: the real installer under X, started the way the application starts
// it (--update --package P --install-dir D); error dialogs are dismissed with xdotool and their
// texts read through the dialog spy module.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "install/record.h"
#include "platform/platform.h"
#include "support/build_paths.h"
#include "support/helpers.h"
#include "support/leftover_backup.h"
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
    write_text(d + "/bin/Morvell.exe", "#!/bin/sh\necho \"old $(pwd)\" >> '" + app_log + "'\n");
    chmod((d + "/bin/Morvell.exe").c_str(), 0755);
    run_shell("cp '" + kInstaller + "' '" + installer + "'");
    write_text(d + "/install-info.json", install_record_text(W(d)));
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
  // An update that fails: its dialog dismissed, exit 4, that dialog's text.
  void expect_refusal(const std::vector<std::string>& args, const std::string& text) {
    unlink(dialog_log.c_str());
    auto run = start(args);
    EXPECT_TRUE(dismiss_dialog(*run));
    EXPECT_EQ(run->wait(30000), 4);
    expect_dialog(text);
  }
  std::vector<std::string> update_args() const { return {"--update", "--package", p, "--install-dir", d}; }
  // Rebuilds the package from `src` as it now stands.
  void repack() {
    run_shell("rm -f '" + p + "'");
    EXPECT_TRUE(make_zip(dir / "package", p));
  }
};

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Two trees alike, or the paths at which they differ (the uninstaller is a whole program: never dumped).
::testing::AssertionResult same_tree(const std::map<std::string, std::string>& a,
                                     const std::map<std::string, std::string>& b) {
  std::string differ;
  for (const auto& item : a)
    if (!b.count(item.first) || b.at(item.first) != item.second) differ += " " + item.first;
  for (const auto& item : b)
    if (!a.count(item.first)) differ += " (gone) " + item.first;
  if (differ.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the trees differ at" << differ;
}

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
  EXPECT_FALSE(exists(s.d + "/Morvell-Update-Rollback"));
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

// The package given is no regular file: a link (even to a real package), a pipe (which must not
// hang the run), a folder, a device. Each is refused before it is opened, with the reason, the
// installation stays as it was and the thing given stays too. So does a package given for a
// folder that is no installation: it may be a document of the user's given by mistake.
TEST(UpdateWindow, APackageThatIsNoRegularFileIsRefusedAndKept) {
  REQUIRE_DISPLAY();
  Scene s;
  const auto before = snapshot_tree(s.d);
  const std::string link = s.dir / "Downloads/link.zip", pipe = s.dir / "Downloads/pipe.zip",
                    folder = s.dir / "Downloads/folder.zip", device = s.dir / "Downloads/zero.zip";
  ASSERT_EQ(symlink(s.p.c_str(), link.c_str()), 0);
  ASSERT_EQ(run_shell("mkfifo '" + pipe + "' && mkdir '" + folder + "'"), 0);
  std::vector<std::string> given = {link, pipe, folder};
  if (getuid() == 0 && run_shell("mknod '" + device + "' c 1 5") == 0) given.push_back(device);   // /dev/zero's numbers
  for (const std::string& package : given) {
    SCOPED_TRACE(package);
    const std::string kind = capture_shell("stat -c %F '" + package + "'");
    s.expect_refusal({"--update", "--package", package, "--install-dir", s.d}, "更新包必须是普通文件，不能是链接、管道或设备。");
    EXPECT_EQ(capture_shell("stat -c %F '" + package + "'"), kind);
    EXPECT_TRUE(same_tree(snapshot_tree(s.d), before));
  }
  EXPECT_TRUE(exists(s.p));   // the link's target too

  const std::string documents = s.dir / "Documents";
  write_text(documents + "/thesis.txt", "years of work");
  write_text(s.dir / "Downloads/thesis.zip", "a document, not a package");
  s.expect_refusal({"--update", "--package", s.dir / "Downloads/thesis.zip", "--install-dir", documents},
                   "所选安装位置已存在且不是 Morvell 安装目录，请选择空文件夹或原安装目录。");
  EXPECT_EQ(read_text(s.dir / "Downloads/thesis.zip"), "a document, not a package");
  EXPECT_EQ(read_text(documents + "/thesis.txt"), "years of work");
}

// An entry of the user's in config in the way of the package's is kept beside it, and the log
// says where; a second update loses nothing either. A link to a synced folder stays that link,
// in config and as config itself, and nothing behind it is written.
TEST(UpdateWindow, ConfigEntriesInTheWayAreKeptBeside) {
  REQUIRE_DISPLAY();
  {
    Scene s;
    write_text(s.d + "/config/theme", "my theme, a file");
    write_text(s.dir / "package/config/theme/dark.ini", "dark=1\n");
    write_text(s.dir / "package/config/profiles", "profiles are one file now");
    s.repack();
    const std::string log = s.dir / "update.log";
    for (int round = 0; round < 2; ++round) {
      auto run = s.start({"--update", "--package", s.p, "--install-dir", s.d, "--log", log});
      EXPECT_EQ(run->wait(60000), 0) << round << ": " << read_text(s.dialog_log);
      EXPECT_EQ(read_text(s.d + "/config/theme.user-file"), "my theme, a file") << round;
      EXPECT_EQ(read_text(s.d + "/config/theme/dark.ini"), "dark=1\n") << round;
      EXPECT_EQ(read_text(s.d + "/config/profiles.user-folder/me.json"), "{\"me\": true}") << round;
      EXPECT_EQ(read_text(s.d + "/config/profiles"), "profiles are one file now") << round;
      EXPECT_FALSE(exists(s.d + "/config/theme.user-file-2")) << round;
      s.repack();
    }
    EXPECT_TRUE(logged_in_order(log_events(read_text(log)),
                                {"用户配置 " + s.d + "/config/theme 与新版本的同名项目类型不同，已改名保留为 " + s.d +
                                 "/config/theme.user-file"}));
  }
  for (const bool whole_config : {false, true}) {
    SCOPED_TRACE(whole_config ? "config is the link" : "config/profiles is the link");
    Scene s;
    const std::string synced = s.dir / "Sync/Morvell settings";
    write_text(synced + "/me.json", "{\"synced\": true}");
    write_text(synced + "/settings.ini", "theme=synced\n");
    const std::string link = whole_config ? s.d + "/config" : s.d + "/config/profiles";
    run_shell("rm -rf '" + link + "'");
    ASSERT_EQ(symlink(synced.c_str(), link.c_str()), 0);
    write_text(s.dir / "package/config/profiles/default.json", "{}");
    s.repack();
    const auto behind = snapshot_tree(synced);
    auto run = s.start(s.update_args());
    EXPECT_EQ(run->wait(60000), 0) << read_text(s.dialog_log);
    EXPECT_EQ(read_text(s.d + "/version.txt"), "2\n");
    EXPECT_EQ(capture_shell("readlink '" + link + "'"), synced + "\n");
    EXPECT_TRUE(same_tree(snapshot_tree(synced), behind));
  }
}

// Work trees under the update's names that another user put into the installation (here a real
// second uid, where this test runs as root): a rollback area whose journal would have the user's
// settings deleted, an unpacked tree, a configuration backup. Each is left exactly as it is, the
// run fails naming it, and the user's files stay.
TEST(UpdateWindow, WorkTreesOfAnotherUserAreLeftAlone) {
  REQUIRE_DISPLAY();
  if (getuid() != 0) GTEST_SKIP() << "needs root, to plant the trees as another real user (setpriv)";
  const std::string other = "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c ";
  const std::vector<std::pair<std::string, std::string>> planted = {
      {"Morvell-Update-Rollback", "mkdir -p R/.morvell-staging R/files && printf 'Morvell update journal 1\\nphase "
                                  "writing\\nadded config/settings.ini\\n' > R/journal"},
      {"Morvell-Update-Temp", "mkdir -p R/.morvell-staging R/config && echo theirs > R/config/settings.ini"},
      {"Morvell-Update-Config-Backup", "mkdir -p R/config && echo theirs > R/config/settings.ini && printf "
                                       "'{\"files\": []}' > R/manifest.json"},
  };
  for (const auto& plant : planted) {
    SCOPED_TRACE(plant.first);
    Scene s;
    const std::string tree = s.d + "/" + plant.first;
    std::string command = plant.second;
    // Searched on after each replacement: the tree's own path may hold "R/" too.
    const std::string quoted = "'" + tree + "'";
    for (size_t at = 0; (at = command.find("R/", at)) != std::string::npos; at += quoted.size())
      command.replace(at, 1, quoted);
    // The other user may reach the installation, and write into it only while planting.
    ASSERT_EQ(run_shell("chmod 0755 '" + s.dir.path() + "' '" + parent_of(s.d) + "' && chmod 0777 '" + s.d + "' && " +
                        other + "\"" + command + "\" && chmod 0755 '" + s.d + "'"),
              0);
    const auto before = snapshot_tree(s.d);
    s.expect_refusal(s.update_args(), tree + " 不是本安装程序为当前用户留下的，已原样保留。请检查并移走它后重试。");
    EXPECT_TRUE(same_tree(snapshot_tree(s.d), before));
    EXPECT_EQ(read_text(s.d + "/config/settings.ini"), "theme=dark\n");
    EXPECT_EQ(capture_shell("stat -c %u '" + tree + "'"), "65534\n");
    EXPECT_TRUE(exists(s.p));
  }
}

// A backup an earlier version left that holds a file its manifest does not name cannot be shown
// right: the run stops with the kept-backup message and every file stays where it is.
TEST(UpdateWindow, LeftoverBackupWithAnUnnamedFileStopsTheRun) {
  REQUIRE_DISPLAY();
  Scene s;
  ASSERT_TRUE(leave_config_backup(s.d, s.dir / "package/config"));
  write_text(s.d + "/Morvell-Update-Config-Backup/config/extra.ini", "named nowhere");
  const auto before = snapshot_tree(s.d);
  s.expect_refusal(s.update_args(), "无法备份当前配置，请确认安装目录可读写后重试。用户配置备份已保留在 " + s.d +
                                        "/Morvell-Update-Config-Backup。");
  EXPECT_TRUE(same_tree(snapshot_tree(s.d), before));
}

// A new version that crashes at once: the update is taken back, the previous version started
// again, and the dialog, the exit code and the log all say so.
TEST(UpdateWindow, ANewVersionThatCrashesIsTakenBack) {
  REQUIRE_DISPLAY();
  Scene s;
  write_text(s.dir / "package/bin/Morvell.exe",
             "#!/bin/sh\necho \"started $(pwd)\" >> '" + s.app_log + "'\nulimit -c 0\nkill -SEGV $$\n");
  s.repack();
  const auto before = snapshot_tree(s.d);
  const std::string log = s.dir / "update.log";
  s.expect_refusal({"--update", "--package", s.p, "--install-dir", s.d, "--log", log},
                   "新版本 Morvell 无法启动，已恢复到更新前的版本。");
  EXPECT_TRUE(same_tree(snapshot_tree(s.d), before));
  EXPECT_TRUE(wait_until(10000, [&] { return lines_of(read_text(s.app_log)).size() >= 2; }));
  EXPECT_EQ(read_text(s.app_log), "started " + s.d + "/bin\nold " + s.d + "/bin\n");
  EXPECT_TRUE(logged_in_order(log_events(read_text(log)),
                              {"状态：正在写入更新文件...", "新版本 Morvell 启动后异常结束（" + std::to_string(SIGSEGV) + "）",
                               "新版本 Morvell 无法启动，已恢复到更新前的版本。", "退出码：4"}));
}
