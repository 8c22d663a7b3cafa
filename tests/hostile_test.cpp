// Hostile packages and install paths: a package that expands past the room its filesystem has,
// and an install directory whose name holds quotes, shell characters, a newline and Chinese
// text, taken through install, update and uninstall. Each ends with its message and nothing lost.
#include <glib.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/ui.h"
#include "common/external.h"
#include "common/filetree.h"
#include "common/state.h"
#include "common/strings.h"
#include "flows/uninstall.h"
#include "flows/update.h"
#include "install/messages.h"
#include "install/ownership.h"
#include "install/record.h"
#include "install/transaction.h"
#include "package/workdir.h"
#include "platform/platform.h"
#include "support/build_paths.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

constexpr int kSkipped = 77;

std::string sh_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string pack(const std::string& package, const std::string& output) {
  EXPECT_EQ(run_shell("mkdir -p \"$(dirname " + sh_quote(output) + ")\" && '" + kPack + "' --installer '" + kInstaller + "' --package '" + package + "' --output " +
                      sh_quote(output) + " >/dev/null"),
            0);
  return output;
}

// A 60 KiB package that expands to `megabytes` MiB: a program, the big file, one more file after it.
bool make_bomb(const std::string& zip, int megabytes) {
  std::string script =
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
      "    z.writestr('bin/Morvell.exe', '#!/bin/sh\\n')\n"
      "    with z.open('data/blob.bin', 'w') as f:\n"
      "        for i in range(int(sys.argv[2])): f.write(b'M' * (1 << 20))\n"
      "    z.writestr('zz-after.txt', 'after the big one\\n')\n";
  write_text(zip + ".py", script);
  return run_shell("python3 " + sh_quote(zip + ".py") + " " + sh_quote(zip) + " " + std::to_string(megabytes)) == 0;
}

// Runs `body` in a child process with a mount table of its own, where `mount_point` is a fresh
// tmpfs of `megabytes` MiB. The child's checks report as usual; the result is its exit status
// (0 when they all held, kSkipped when no filesystem could be mounted). Waits at most 300 s.
int in_small_filesystem(const std::string& mount_point, int megabytes, const std::function<void()>& body) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    std::string size = "size=" + std::to_string(megabytes) + "m";
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", mount_point.c_str(), "tmpfs", 0, size.c_str()) != 0)
      _exit(kSkipped);
    body();
    fflush(stdout);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) != pid; waited += 100) {
    if (waited >= 300000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    plat::sleep_ms(100);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// A package of 60 KiB that expands to 64 MiB, installed onto a filesystem of 8 MiB: every
// unpacker fails on its own, and the transaction, the update run and a silent install each fail
// with their message or exit code and leave the filesystem exactly as it was.
TEST(ZipBomb, EveryUnpackerFailsAndTheInstallationIsExactlyAsBefore) {
  TempDir dir;
  const std::string bomb = dir / "bomb.zip";
  ASSERT_TRUE(make_bomb(bomb, 64));
  ASSERT_LT(read_text(bomb).size(), 200u * 1024u);
  const std::string setup = pack(bomb, dir / "setup/Morvell-Setup.exe");
  const std::string small = dir / "small";
  run_shell("mkdir -p " + sh_quote(small) + " " + sh_quote(dir / "home"));

  int status = in_small_filesystem(small, 8, [&] {
    set_work_program_path(W(dir / "program/morvell-installer"));
    const std::string d = small + "/Apps/Morvell";
    write_text(d + "/bin/Morvell.exe", "previous program");
    write_text(d + "/install-info.json", install_record_text(W(d)));
    write_text(d + "/version.txt", "6.1.16\n");
    const char settings[] = "theme=dark\r\n\0binary\xff";
    write_text(d + "/config/settings.ini", std::string(settings, sizeof settings - 1));
    const auto before = snapshot_tree(small);
    auto expect_as_before = [&](const std::string& what) {
      EXPECT_TRUE(snapshot_tree(small) == before) << what;
      EXPECT_EQ(capture_shell("ls -A " + sh_quote(small) + " " + sh_quote(small + "/Apps")), small + ":\nApps\n\n" +
                small + "/Apps:\nMorvell\n") << what;
    };

    // Each unpacker alone reports the failure; what it wrote can all be removed again.
    for (int method = 1; method <= 3; ++method) {
      const std::string dest = small + "/Apps/Morvell.new";
      create_directory_tree(W(dest));
      std::wstring program, error;
      std::vector<std::wstring> arguments;
      bool ok = method < 3 ? plat::archive_tool_command(method, W(bomb), W(dest), program, arguments) &&
                                 run_and_wait(program, arguments, L"", error, nullptr, false)
                           : plat::unpack_in_process(W(bomb), W(dest), nullptr) == plat::UnpackResult::Ok;
      EXPECT_FALSE(ok) << "method " << method;
      remove_tree_in_process(W(dest));
      expect_as_before("method " + std::to_string(method));
    }

    // The transaction, with all three in turn.
    std::wstring error;
    EXPECT_FALSE(install_package(W(bomb), W(d), InstallOptions::choosing(false, false, false), error));
    EXPECT_EQ(error, kUnpackFailed);
    expect_as_before("install_package");

    // The update run: the package is consumed, the program files and the configuration stay.
    const std::string package = dir / "downloads/update.zip";
    run_shell("mkdir -p " + sh_quote(dir / "downloads") + " && cp " + sh_quote(bomb) + " " + sh_quote(package));
    install_options.install_dir = d;
    install_options.package_path = package;
    ui_trace = UiTrace();
    run_update();
    EXPECT_EQ(exit_code, 4);
    EXPECT_EQ(ui_trace.last_status, kUnpackFailed);
    EXPECT_FALSE(exists(package));
    expect_as_before("run_update");
    set_work_program_path(L"");

    // The offline installer, silently: exit 3, and no work directory left beside it.
    std::string output = dir / "setup-output.txt";
    EXPECT_EQ(run_shell("env -u DISPLAY HOME=" + sh_quote(dir / "home") + " XDG_DATA_HOME= " + sh_quote(setup) +
                        " --silent-install --no-launch --install-dir " + sh_quote(d) + " >" + sh_quote(output) +
                        " 2>&1"),
              3);
    EXPECT_EQ(read_text(output), "解压安装包失败。\n");   // the reason, for the script that started it
    expect_as_before("silent install");
    EXPECT_FALSE(exists(dir / "setup/Morvell-Installer-Temp"));
    EXPECT_EQ(capture_shell("ls -A " + sh_quote(dir / "home")), "");
  });
  if (status == kSkipped) GTEST_SKIP() << "no tmpfs could be mounted here (needs a private mount namespace)";
  EXPECT_EQ(status, 0) << "see the failures of the child above";
}

namespace {

struct EnvGuard {
  std::map<std::string, std::string> saved;
  void set(const char* name, const std::string& value) {
    if (!saved.count(name)) saved[name] = plat::environment_value(name);
    if (value.empty())
      unsetenv(name);
    else
      setenv(name, value.c_str(), 1);
  }
  ~EnvGuard() {
    for (const auto& entry : saved) {
      if (entry.second.empty())
        unsetenv(entry.first.c_str());
      else
        setenv(entry.first.c_str(), entry.second.c_str(), 1);
    }
  }
};

// The program a desktop entry starts, read the way a desktop reads it.
std::string exec_program(const std::string& entry_file) {
  GKeyFile* file = g_key_file_new();
  std::string program;
  if (g_key_file_load_from_file(file, entry_file.c_str(), G_KEY_FILE_NONE, nullptr)) {
    gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
    gchar** argv = nullptr;
    if (exec && g_shell_parse_argv(exec, nullptr, &argv, nullptr) && argv[0]) program = argv[0];
    g_strfreev(argv);
    g_free(exec);
  }
  g_key_file_free(file);
  return program;
}

}  // namespace

// One installation under a name made to break quoting, taken through a silent install, an
// update run and an uninstall whose removal script really runs: each step finds it, the user's
// configuration survives the update byte for byte, and the uninstall removes it and nothing else.
TEST(HostileInstallPath, InstallUpdateAndUninstallTouchExactlyTheInstallation) {
  TempDir dir;
  EnvGuard env;
  const std::string home = dir / "home";
  const std::string apps = dir / "x";
  const std::string cwd = dir / "cwd";
  const std::string name = "Mor vell 'q' \"d\" $HOME `touch pwned1` $(touch pwned2) ;touch pwned3 \\ \n 中文";
  const std::string d = apps + "/" + name;
  const std::string log = dir / "app.log";
  write_text(apps + "/Mor vell/keep.txt", "the name up to its first blank");
  write_text(d + " sibling/keep.txt", "the name with more after it");
  write_text(apps + "/keep.txt", "beside it");
  write_text(cwd + "/keep.txt", "where the programs run");
  const std::string ext = U(plat::kShortcutExtension);
  const std::string desktop = home + "/Desktop/Morvell" + ext;
  const std::string menu = home + "/.local/share/applications/Morvell";
  auto launches = [&](size_t count) {
    std::string text = read_text(log);
    for (int i = 0; i < 100 && size_t(std::count(text.begin(), text.end(), '\n')) < count; ++i) {
      plat::sleep_ms(50);
      text = read_text(log);
    }
    return text;
  };

  // Install: an offline installer, silently, as a separate program.
  const std::string setup = pack(kOld, dir / "setup/Morvell-Setup.exe");
  ASSERT_EQ(run_shell("cd " + sh_quote(cwd) + " && env -u DISPLAY -u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME=" +
                      sh_quote(home) + " MORVELL_APP_LOG=" + sh_quote(log) + " MORVELL_APP_EXIT=1 " + sh_quote(setup) +
                      " --silent-install --install-dir " + sh_quote(d)),
            0);
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.16\n");
  EXPECT_EQ(nlohmann::json::parse(read_text(d + "/install-info.json"), nullptr, false).value("install_dir", ""), d);
  EXPECT_EQ(exec_program(desktop), d + "/bin/Morvell.exe");
  EXPECT_EQ(exec_program(menu + "/Morvell" + ext), d + "/bin/Morvell.exe");
  EXPECT_EQ(exec_program(menu + "/卸载 Morvell" + ext), d + "/bin/Morvell-Uninstall.exe");
  EXPECT_NE(launches(1).find("version=6.1.16 dir=" + d + " args=\n"), std::string::npos) << read_text(log);

  // The user's configuration, with bytes and names of its own.
  const char settings[] = "theme=dark\r\n\0\xff\xfe trailing blanks   \n";
  write_text(d + "/config/settings.ini", std::string(settings, sizeof settings - 1));
  write_text(d + "/config/它's \"x\" $y `z`\n.ini", "");
  write_text(d + "/config/子目录/profile.ini", "name=me");
  const auto config = snapshot_tree(d + "/config");

  // Update: the run the installed application starts, in this process.
  const std::string package = dir / "downloads/update.zip";
  ASSERT_EQ(run_shell("mkdir -p " + sh_quote(dir / "downloads") + " " + sh_quote(dir / "program") + " && cp " +
                      sh_quote(kNew) + " " + sh_quote(package)),
            0);
  set_work_program_path(W(dir / "program/morvell-installer"));
  env.set("MORVELL_APP_LOG", log);
  env.set("MORVELL_APP_EXIT", "1");
  env.set("HOME", home);
  env.set("XDG_DATA_HOME", "");
  env.set("XDG_CONFIG_HOME", "");
  install_options.install_dir = d;
  install_options.package_path = package;
  ui_trace = UiTrace();
  exit_code = 0;
  run_update();
  EXPECT_EQ(exit_code, 0) << U(ui_trace.last_status);
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.17\n");
  EXPECT_TRUE(snapshot_tree(d + "/config") == config);
  EXPECT_FALSE(exists(package));
  EXPECT_EQ(capture_shell("ls -A " + sh_quote(d)), "README.txt\nbin\nconfig\ninstall-info.json\nversion.txt\n");
  EXPECT_NE(launches(2).find("version=6.1.17 dir=" + d + " args=\n"), std::string::npos) << read_text(log);

  // Uninstall: the shortcuts at once, then the removal script after this program would have ended.
  set_work_program_path(W(d + "/bin/Morvell-Uninstall.exe"));
  const auto outside = snapshot_tree(apps);
  run_uninstall();
  set_work_program_path(L"");
  EXPECT_FALSE(exists(desktop));
  EXPECT_FALSE(exists(menu));
  for (int i = 0; i < 200 && exists(d); ++i) plat::sleep_ms(50);
  EXPECT_FALSE(exists(d));
  auto expected = outside;
  for (auto it = expected.begin(); it != expected.end();)
    it = it->first.rfind(name + "/", 0) == 0 ? expected.erase(it) : std::next(it);
  EXPECT_TRUE(snapshot_tree(apps) == expected);
  EXPECT_EQ(expected.size(), 5u);   // three files and two folders
  EXPECT_EQ(capture_shell("ls -A " + sh_quote(cwd)), "keep.txt\n");
  EXPECT_EQ(capture_shell("find " + sh_quote(dir.path()) + " . -maxdepth 3 -name 'pwned*'"), "");
}

// The folder beside an offline installer is shared (mode 1777) and another user got there
// first: a folder of theirs under the work folder's name with a pipe where the package copy
// goes, a link under that name, a pipe under that name. Every run installs the carried package
// from a work folder of its own, never waits on a pipe, writes nothing where the link points,
// leaves what the other user put there exactly as it was, and leaves no work folder of its own.
// Then a package whose "bin" is a link out of it: refused, and nothing is written out there.
TEST(HostileWorkFolder, NothingThatStandsAtTheWorkFoldersNameIsUsed) {
  TempDir dir;
  const std::string shared = dir / "shared", work = shared + "/Morvell-Installer-Temp";
  const std::string outside = dir / "outside", d = dir / "Apps/Morvell";
  ASSERT_EQ(run_shell("mkdir -p " + sh_quote(shared) + " " + sh_quote(dir / "home") + " && chmod 1777 " +
                      sh_quote(shared) + " && chmod 0755 " + sh_quote(dir.path())),
            0);
  write_text(outside + "/keep.txt", "theirs");
  const std::string setup = pack(kNew, shared + "/Morvell-Setup");
  // Another user where this test can be one (as root), else this same user.
  const std::string other = getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  auto install = [&](const std::string& program) {
    return run_shell("env -u DISPLAY HOME=" + sh_quote(dir / "home") + " XDG_DATA_HOME= timeout 120 " +
                     sh_quote(program) + " --silent-install --no-launch --install-dir " + sh_quote(d) +
                     " >/dev/null 2>&1");
  };
  const auto outside_before = snapshot_tree(outside);
  const std::vector<std::pair<std::string, std::string>> takeovers = {
      {"their folder", "mkdir -m 0777 " + sh_quote(work) + " && mkfifo -m 0666 " +
                           sh_quote(work + "/Morvell-offline-package.zip")},
      {"a link", "ln -s " + sh_quote(outside) + " " + sh_quote(work)},
      {"a pipe", "mkfifo -m 0666 " + sh_quote(work)},
  };
  for (const auto& takeover : takeovers) {
    run_shell("rm -rf " + sh_quote(d) + " " + sh_quote(work));
    ASSERT_EQ(run_shell(other + "sh -c " + sh_quote(takeover.second)), 0) << takeover.first;
    const std::string theirs = capture_shell("ls -lnR " + sh_quote(work));
    EXPECT_EQ(install(setup), 0) << takeover.first;
    EXPECT_EQ(read_text(d + "/version.txt"), "6.1.17\n") << takeover.first;
    EXPECT_TRUE(snapshot_tree(outside) == outside_before) << takeover.first;
    EXPECT_EQ(capture_shell("ls -lnR " + sh_quote(work)), theirs) << takeover.first;
    EXPECT_FALSE(exists(work + "-2")) << takeover.first;
  }
  run_shell("rm -rf " + sh_quote(work));

  // The package brings "bin" as a link to a folder outside it: the install fails (3) before
  // anything is swapped, the installation stays as it was and nothing is written out there.
  write_text(outside + "/Morvell.exe", "#!/bin/sh\n");
  const std::string src = dir / "linked-src";
  write_text(src + "/version.txt", "9.9.9\n");
  ASSERT_EQ(symlink(outside.c_str(), (src + "/bin").c_str()), 0);
  ASSERT_TRUE(make_zip(src, dir / "linked.zip"));
  const auto installed = snapshot_tree(d), outside_now = snapshot_tree(outside);
  EXPECT_EQ(install(pack(dir / "linked.zip", dir / "setup2/Morvell-Setup")), 3);
  EXPECT_TRUE(snapshot_tree(d) == installed);
  EXPECT_TRUE(snapshot_tree(outside) == outside_now);
  EXPECT_FALSE(exists(d + ".new"));
}

// Names that are not valid UTF-8: an install directory and a configuration file with a byte that
// does not decode. A silent install, a reinstall and an update all find them under the very same
// bytes, and no folder under another name appears.
// Runs of one program at once, each making, using and clearing its work directory over and over
// (as offline installs started together do): none ever shares one with another or clears one
// another is using, and none is left behind.
TEST(HostileWorkFolder, RunsAtOnceNeverShareNorClearEachOthers) {
  TempDir dir;
  const std::string program = dir / "setup.bin";
  std::vector<pid_t> runs;
  for (int r = 0; r < 3; ++r) {
    const pid_t pid = fork();
    if (pid == 0) {
      set_work_program_path(W(program));
      // The moment between making a work directory and taking its lock, drawn out so that the
      // runs meet there.
      plat::set_fault_hook([](const char* op, const std::wstring&) {
        if (std::string(op) == "lock") usleep(2000);
        return false;
      });
      const std::string mine = std::to_string(getpid());
      for (int i = 0; i < 150; ++i) {
        const std::wstring path = work_file_path(L"mine.txt");
        if (path.empty()) _exit(2);
        write_text(U(path), mine);
        // A later step of the run looks into its work directory again: its file is still there.
        if (work_file_path(L"next.txt").empty() || read_text(U(path)) != mine) _exit(3);
        cleanup_work_directory();
      }
      _exit(0);
    }
    ASSERT_GT(pid, 0);
    runs.push_back(pid);
  }
  for (pid_t pid : runs) {
    int status = -1;
    const bool ended = wait_until(120000, [&]() { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended && WIFEXITED(status)) << "run " << pid << " did not end";
    // 2: no work directory could be made; 3: another run cleared or wrote into this run's.
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << "run " << pid;
  }
  EXPECT_EQ(capture_shell("ls -A '" + dir.path() + "'"), "");
}

TEST(HostileInstallPath, NamesThatAreNotUtf8KeepTheirBytes) {
  TempDir dir;
  EnvGuard env;
  const std::string home = dir / "home";
  const std::string apps = dir / "apps";
  const std::string d = apps + "/Morvell caf\xe9 \xff\xfe";
  const std::string setup = pack(kOld, dir / "setup/Morvell-Setup.exe");
  const std::string run = "cd " + sh_quote(dir.path()) + " && env -u DISPLAY -u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME=" +
                          sh_quote(home) + " " + sh_quote(setup) + " --silent-install --no-launch --install-dir " +
                          sh_quote(d) + " >/dev/null 2>&1";
  ASSERT_EQ(run_shell(run), 0);
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.16\n");
  EXPECT_EQ(capture_shell("ls -A " + sh_quote(apps)), "Morvell caf\xe9 \xff\xfe\n");
  EXPECT_TRUE(is_recorded_installation(W(d)));   // so its uninstaller still recognises it
  const std::string entry = read_text(home + "/Desktop/Morvell" + U(plat::kShortcutExtension));
  EXPECT_NE(entry.find(d + "/bin/Morvell.exe"), std::string::npos) << entry;

  // The user's configuration, under names of its own bytes, survives a reinstall and an update.
  write_text(d + "/config/caf\xe9.ini", "theme=dark\n");
  write_text(d + "/config/\xc0\xaf sub/\xe4\xb8.cfg", "cut short");
  const auto config = snapshot_tree(d + "/config");
  ASSERT_EQ(run_shell(run), 0);
  EXPECT_TRUE(snapshot_tree(d + "/config") == config);

  const std::string package = dir / "downloads/update.zip";
  ASSERT_EQ(run_shell("mkdir -p " + sh_quote(dir / "downloads") + " && cp " + sh_quote(kNew) + " " + sh_quote(package)), 0);
  set_work_program_path(W(dir / "program/morvell-installer"));
  env.set("MORVELL_APP_EXIT", "1");
  env.set("HOME", home);
  install_options.install_dir = d;
  install_options.package_path = package;
  ui_trace = UiTrace();
  exit_code = 0;
  run_update();
  set_work_program_path(L"");
  EXPECT_EQ(exit_code, 0) << U(ui_trace.last_status);
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.17\n");
  EXPECT_TRUE(snapshot_tree(d + "/config") == config);
  EXPECT_EQ(capture_shell("ls -A " + sh_quote(apps)), "Morvell caf\xe9 \xff\xfe\n");
}
