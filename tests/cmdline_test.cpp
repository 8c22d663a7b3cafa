// The command line: flags and values, the run mode (options and the program's own file name),
// the install directory and its defaults, the three install choices, and the start-up roads
// of the real program (no display, silent install, the window it builds).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "common/state.h"
#include "common/strings.h"
#include "package/workdir.h"
#include "platform/platform.h"
#include "support/build_paths.h"
#include "support/helpers.h"

using namespace testing_support;

// A run mode in a failure message: its name, and whether it is the update.
void PrintTo(RunMode mode, std::ostream* out) {
  *out << run_mode_name(mode) << (mode == RunMode::Update ? " (update)" : "");
}

namespace {

// An argument vector that owns its texts; nullptr stands for a null argument.
struct Args {
  std::vector<std::string> texts{"morvell-installer"};
  std::vector<bool> null_at{false};
  std::vector<char*> argv;
  Args(std::initializer_list<const char*> items) {
    for (const char* item : items) {
      texts.push_back(item ? item : "");
      null_at.push_back(item == nullptr);
    }
  }
  int argc() const { return static_cast<int>(texts.size()); }
  char** data() {
    argv.clear();
    for (size_t i = 0; i < texts.size(); ++i) argv.push_back(null_at[i] ? nullptr : &texts[i][0]);
    return argv.data();
  }
};

// The current directory, as relative install directories are settled against it.
std::string current_directory() {
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

void reset_state() {
  run_mode = RunMode::Online;
  install_options = InstallOptions();
  release_catalogue = ReleaseCatalogue();
  busy = false;
  exit_code = 0;
}

// Sets an environment variable for one scope and puts the old value back.
struct EnvGuard {
  std::string name;
  bool had = false;
  std::string old;
  EnvGuard(const char* n, const char* value) : name(n) {
    if (const char* v = std::getenv(n)) had = true, old = v;
    if (value) setenv(n, value, 1); else unsetenv(n);
  }
  ~EnvGuard() {
    if (had) setenv(name.c_str(), old.c_str(), 1); else unsetenv(name.c_str());
  }
};

// Settles the options from a fresh state.
void settle(Args args) {
  reset_state();
  settle_options(args.argc(), args.data());
}

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''"; else out += c;
  }
  return out + "'";
}

}  // namespace

TEST(CommandLine, HasFlag) {
  Args a{"--offline", "--no-launch", nullptr, "--x=1"};
  EXPECT_TRUE(has_flag(a.argc(), a.data(), "--offline"));
  EXPECT_TRUE(has_flag(a.argc(), a.data(), "--no-launch"));
  EXPECT_FALSE(has_flag(a.argc(), a.data(), "--OFFLINE"));      // case-sensitive
  EXPECT_FALSE(has_flag(a.argc(), a.data(), "--offlin"));       // whole argument only
  EXPECT_FALSE(has_flag(a.argc(), a.data(), "--x"));            // "--x=1" is not the flag
  EXPECT_TRUE(has_flag(a.argc(), a.data(), ""));                // a null argument counts as empty
  EXPECT_FALSE(has_flag(a.argc(), a.data(), "morvell-installer"));   // the program name is not looked at
  Args none{};
  EXPECT_FALSE(has_flag(none.argc(), none.data(), "morvell-installer"));
  EXPECT_FALSE(has_flag(0, nullptr, "--offline"));
}

TEST(CommandLine, OptionValue) {
  auto value = [](Args args, const char* name) { return option_value(args.argc(), args.data(), name); };
  EXPECT_EQ(value({"--package", "/tmp/p.zip"}, "--package"), "/tmp/p.zip");
  EXPECT_EQ(value({"--package=/tmp/p.zip"}, "--package"), "/tmp/p.zip");
  EXPECT_EQ(value({"--package=a=b"}, "--package"), "a=b");
  EXPECT_EQ(value({"--package="}, "--package"), "");
  EXPECT_EQ(value({"--package"}, "--package"), "");                         // last: nothing
  EXPECT_EQ(value({"x", "--package"}, "--package"), "");
  EXPECT_EQ(value({"--package", nullptr, "--package=b"}, "--package"), "");   // null next argument
  EXPECT_EQ(value({"--package", "--no-launch"}, "--package"), "--no-launch"); // a flag taken as the value
  EXPECT_EQ(value({"--package", "a", "--package=b"}, "--package"), "a");      // first match wins
  EXPECT_EQ(value({"--package=b", "--package", "a"}, "--package"), "b");
  EXPECT_EQ(value({"--package", "--package=b"}, "--package"), "--package=b");
  EXPECT_EQ(value({"--PACKAGE", "a"}, "--package"), "");                      // capitals not recognised
  EXPECT_EQ(value({"--PACKAGE=a"}, "--package"), "");
  EXPECT_EQ(value({"--packagex=a", "--packages", "b"}, "--package"), "");     // prefix alone is no match
  EXPECT_EQ(value({"--package", "\"C:\\My Apps\\X\\\""}, "--package"), "\"C:\\My Apps\\X\\\"");  // no unquoting here
  EXPECT_EQ(value({"--package", ""}, "--package"), "");
  EXPECT_EQ(value({"--install-dir", "/a", "--package", "/b"}, "--package"), "/b");
  EXPECT_EQ(option_value(0, nullptr, "--package"), "");
}

TEST(CommandLine, InstallDirectoryIsCleaned) {
  settle({"--install-dir=/opt/Apps/X/"});
  EXPECT_EQ(install_options.install_dir, "/opt/Apps/X");
  settle({"--install-dir", "/opt/Apps/X"});
  EXPECT_EQ(install_options.install_dir, "/opt/Apps/X");
  // Names that do not start at the root (here, Windows forms) stand on the current directory.
  const std::string here = std::string(current_directory()) + "/";
  const std::string parent_of_here = here.substr(0, here.rfind('/', here.size() - 2));
  settle({"--install-dir=D:\\Apps\\X\\"});
  EXPECT_EQ(install_options.install_dir, here + "D:\\Apps\\X");
  settle({"--install-dir", "D:\\Apps\\X"});
  EXPECT_EQ(install_options.install_dir, here + "D:\\Apps\\X");
  settle({"--install-dir", "\"/opt/My Apps/X//\""});                 // quotes inside the argument
  EXPECT_EQ(install_options.install_dir, "/opt/My Apps/X");
  settle({"--install-dir= \t\"C:\\Program Files\\Morvell\\\" "});
  EXPECT_EQ(install_options.install_dir, here + "C:\\Program Files\\Morvell");
  settle({"--install-dir", "C:\\"});                                   // a drive root keeps its separator
  EXPECT_EQ(install_options.install_dir, here + "C:\\");
  settle({"--install-dir", "/"});
  EXPECT_EQ(install_options.install_dir, "/");
  settle({"--install-dir", "apps/morvell/"});                         // relative: made absolute
  EXPECT_EQ(install_options.install_dir, here + "apps/morvell");
  settle({"--install-dir", "../up/./x"});                             // and lexically normal
  EXPECT_EQ(install_options.install_dir, parent_of_here + "/up/x");
  settle({"--install-dir", "."});
  EXPECT_EQ(install_options.install_dir, here.substr(0, here.size() - 1));
  settle({"--install-dir", "/opt/\xE5\xB7\xA5\xE5\x85\xB7/Morvell/"});  // Chinese survives both conversions
  EXPECT_EQ(install_options.install_dir, "/opt/\xE5\xB7\xA5\xE5\x85\xB7/Morvell");

  // Blanks only: not empty before cleaning, so no default; the result is empty.
  settle({"--install-dir", "   \t "});
  EXPECT_EQ(install_options.install_dir, "");
  // Blanks inside the quotes are kept.
  settle({"--install-dir", "\"  \""});
  EXPECT_EQ(install_options.install_dir, here + "  ");
  settle({"--install-dir", "\"\""});
  EXPECT_EQ(install_options.install_dir, "");

  // A flag after --install-dir is taken as the directory, and still acts as a flag.
  settle({"--install-dir", "--no-launch"});
  EXPECT_EQ(install_options.install_dir, here + "--no-launch");
  EXPECT_FALSE(install_options.launch_after_install);
  EXPECT_TRUE(install_options.desktop_shortcut);
}

TEST(CommandLine, DefaultInstallDirectory) {
  EnvGuard xdg("XDG_DATA_HOME", "/srv/data");
  EnvGuard home("HOME", "/home/tester");
  for (Args args : {Args{}, Args{"--install-dir"}, Args{"--install-dir="}, Args{"--no-launch", "--install-dir"}}) {
    settle(args);
    EXPECT_EQ(install_options.install_dir, "/srv/data/Programs/Morvell");
  }
  {
    EnvGuard unset("XDG_DATA_HOME", nullptr);
    settle({});
    EXPECT_EQ(install_options.install_dir, "/home/tester/.local/share/Programs/Morvell");
  }
  {
    EnvGuard relative("XDG_DATA_HOME", "relative/data");   // not absolute: ignored
    settle({});
    EXPECT_EQ(install_options.install_dir, "/home/tester/.local/share/Programs/Morvell");
  }
  {
    EnvGuard unset("XDG_DATA_HOME", nullptr);
    EnvGuard no_home("HOME", nullptr);
    settle({});
    EXPECT_EQ(install_options.install_dir, std::string(current_directory()) + "/Morvell");
  }
}

TEST(CommandLine, ChoicesAndPackage) {
  settle({});
  EXPECT_TRUE(install_options.desktop_shortcut);
  EXPECT_TRUE(install_options.start_menu_shortcut);
  EXPECT_TRUE(install_options.launch_after_install);
  EXPECT_EQ(install_options.package_path, "");

  settle({"--no-desktop-shortcut"});
  EXPECT_FALSE(install_options.desktop_shortcut);
  EXPECT_TRUE(install_options.start_menu_shortcut);
  EXPECT_TRUE(install_options.launch_after_install);
  settle({"--no-start-menu-shortcut", "--no-launch"});
  EXPECT_TRUE(install_options.desktop_shortcut);
  EXPECT_FALSE(install_options.start_menu_shortcut);
  EXPECT_FALSE(install_options.launch_after_install);
  settle({"--NO-LAUNCH", "--No-Desktop-Shortcut", "--no-start-menu-shortcut=1"});
  EXPECT_TRUE(install_options.desktop_shortcut);
  EXPECT_TRUE(install_options.start_menu_shortcut);
  EXPECT_TRUE(install_options.launch_after_install);

  // The package path is stored as given: never cleaned.
  settle({"--package", " \"/tmp/Morvell update.zip\"/ "});
  EXPECT_EQ(install_options.package_path, " \"/tmp/Morvell update.zip\"/ ");
  settle({"--package="});
  EXPECT_EQ(install_options.package_path, "");
}

TEST(CommandLine, RunModePrecedence) {
  struct Case {
    Args args;
    RunMode mode;
  };
  std::vector<Case> cases = {
      {Args{}, RunMode::Online},
      {Args{"--offline"}, RunMode::Offline},
      {Args{"--uninstall"}, RunMode::Uninstall},
      {Args{"--offline", "--uninstall"}, RunMode::Uninstall},
      {Args{"--uninstall", "--offline"}, RunMode::Uninstall},
      {Args{"--update"}, RunMode::Update},
      {Args{"--uninstall", "--update"}, RunMode::Update},
      {Args{"--update", "--uninstall", "--offline"}, RunMode::Update},
      {Args{"--Offline", "--UNINSTALL", "--Update"}, RunMode::Online},
      {Args{"--offline=1", "--uninstall=yes"}, RunMode::Online},
      {Args{"--package", "--update"}, RunMode::Update},   // a value that is a flag still counts
      {Args{"--silent-install", "--unknown", "x"}, RunMode::Online},
  };
  for (Case& c : cases) {
    reset_state();
    settle_options(c.args.argc(), c.args.data());
    std::string shown;
    for (size_t i = 1; i < c.args.texts.size(); ++i) shown += c.args.texts[i] + " ";
    EXPECT_EQ(run_mode, c.mode) << shown;
  }

  // A program that carries a package (an offline installer opened with a double click) starts
  // offline when no mode is named; every named mode still wins (the uninstaller's name too:
  // ProgramStart.FileNameRule).
  TempDir dir;
  const std::string program = read_text(kInstaller), zip = read_text(kOld);
  const std::string packed = program + zip + "MORV-PACKAGE:" + std::to_string(program.size()) + ":" + std::to_string(zip.size());
  write_text(dir / "Morvell-Setup.exe", packed);
  // A trailer whose package would run past the end of the file carries nothing.
  write_text(dir / "broken.exe", program + "MORV-PACKAGE:" + std::to_string(program.size()) + ":99999999");
  struct Carried {
    std::string file;
    Args args;
    RunMode mode;
  };
  std::vector<Carried> carried = {
      {"Morvell-Setup.exe", Args{}, RunMode::Offline},
      {"Morvell-Setup.exe", Args{"--no-launch", "--install-dir", "/opt/M"}, RunMode::Offline},
      {"Morvell-Setup.exe", Args{"--uninstall"}, RunMode::Uninstall},
      {"Morvell-Setup.exe", Args{"--update"}, RunMode::Update},
      {"broken.exe", Args{}, RunMode::Online},
  };
  for (Carried& c : carried) {
    set_work_program_path(plat::utf8_to_wide(dir / c.file));
    reset_state();
    settle_options(c.args.argc(), c.args.data());
    EXPECT_EQ(run_mode, c.mode) << c.file << " " << c.args.argc();
  }
  set_work_program_path(L"");
  reset_state();
  settle_options(Args{}.argc(), Args{}.data());
  EXPECT_EQ(run_mode, RunMode::Online);   // the test program carries nothing
}

// The real program without a display: a windowed run explains itself and fails with 1; a silent
// install is not held up by the missing display (this plain build carries no package: 2).
TEST(ProgramStart, WithoutDisplay) {
  TempDir dir;
  std::string program = dir / "morvell-installer";
  ASSERT_EQ(run_shell("cp " + shell_quote(kInstaller) + " " + shell_quote(program)), 0);
  std::string env = "env -u DISPLAY -u WAYLAND_DISPLAY HOME=" + shell_quote(dir.path()) + " XDG_DATA_HOME= ";
  std::string err = dir / "stderr.txt", out = dir / "stdout.txt";
  const std::string message = "无法初始化图形界面，请在桌面环境中运行，或使用 --silent-install。\n";

  for (std::string args : {"", "--offline", "--uninstall", "--update --package /nonexistent.zip"}) {
    int status = run_shell(env + shell_quote(program) + " " + args + " >" + shell_quote(out) + " 2>" + shell_quote(err));
    EXPECT_EQ(status, 1) << args;
    EXPECT_EQ(read_text(err), message) << args;
    EXPECT_EQ(read_text(out), "") << args;
  }

  std::string target = dir / "target";
  int status = run_shell(env + shell_quote(program) + " --offline --silent-install --install-dir " +
                         shell_quote(target) + " >" + shell_quote(out) + " 2>" + shell_quote(err));
  EXPECT_EQ(status, 2);
  EXPECT_EQ(read_text(err).find("无法初始化图形界面"), std::string::npos);
  EXPECT_FALSE(exists(target + "/bin/Morvell.exe"));
  // No display needed to uninstall either; a program that belongs to no installation is refused
  // with 3 and says why.
  status = run_shell(env + shell_quote(program) + " --silent-uninstall >" + shell_quote(out) + " 2>" + shell_quote(err));
  EXPECT_EQ(status, 3);
  EXPECT_EQ(read_text(err), "无法识别安装目录，卸载已取消。\n");

  // --help and --version answer on standard output with 0, whatever else the line asks for.
  for (std::string args : {"--help", "--uninstall --help", "--silent-install --help --version"}) {
    status = run_shell(env + shell_quote(program) + " " + args + " >" + shell_quote(out) + " 2>" + shell_quote(err));
    EXPECT_EQ(status, 0) << args;
    EXPECT_EQ(read_text(err), "") << args;
    const std::string usage = read_text(out);
    EXPECT_EQ(usage.rfind("用法：morvell-installer ", 0), 0u) << usage;
    for (const char* option : {"--offline", "--uninstall", "--update", "--package ZIP", "--install-dir DIR",
                               "--no-desktop-shortcut", "--no-start-menu-shortcut", "--no-launch", "--silent-install",
                               "--silent-uninstall", "--log FILE", "--help", "--version"})
      EXPECT_NE(usage.find(std::string("\n  ") + option + " "), std::string::npos) << option;
  }
  status = run_shell(env + shell_quote(program) + " --offline --version >" + shell_quote(out) + " 2>" + shell_quote(err));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_text(out), std::string("morvell-installer ") + installer_version + "\nMorvell " + carried_release + "\n");
  EXPECT_EQ(read_text(err), "");
  EXPECT_FALSE(exists(dir / "Morvell-Installer-Temp"));

  // A log that cannot be written (its folder would be below a file) costs the run nothing but a word.
  write_text(dir / "plain-file", "x");
  status = run_shell(env + shell_quote(program) + " --silent-install --log=" + shell_quote(dir / "plain-file/logs/x.log") +
                     " --install-dir " + shell_quote(target) + " >" + shell_quote(out) + " 2>" + shell_quote(err));
  EXPECT_EQ(status, 2);
  EXPECT_EQ(read_text(err), "无法写入日志文件：" + dir / "plain-file/logs/x.log" + "\n离线安装器未包含安装包数据。\n");
  // Without --log nothing is written anywhere: the folder holds what the test put there.
  EXPECT_EQ(capture_shell("ls -A " + shell_quote(dir.path())), "morvell-installer\nplain-file\nstderr.txt\nstdout.txt\n");
}

namespace {

// Runs a copy of the real program named `name` under the display with the window probe, and
// returns what the probe saw: the window title and the widget tree (empty when nothing came).
std::string probe_window(const TempDir& dir, const std::string& name, const std::string& args) {
  std::string bin = dir / "bin";
  run_shell("mkdir -p " + shell_quote(bin));
  std::string program = bin + "/" + name;
  if (!exists(program) && run_shell("cp " + shell_quote(kInstaller) + " " + shell_quote(program)) != 0) return "";
  std::string report = dir / "probe.txt";
  run_shell("rm -f " + shell_quote(report));
  std::string command = "HOME=" + shell_quote(dir.path()) + " XDG_DATA_HOME= GTK_MODULES=" + shell_quote(kProbe) +
                        " MORVELL_WINDOW_PROBE=" + shell_quote(report) + " timeout 60 " + shell_quote(program) +
                        " " + args + " >/dev/null 2>&1";
  run_shell(command);
  return read_text(report);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// The program's own file name: the uninstaller's name in any letter case starts the uninstall
// window; the options still win over it.
TEST(ProgramStart, FileNameRule) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no DISPLAY: run the window tests under xvfb-run -a";
  ASSERT_TRUE(exists(kProbe)) << "the window probe module was not built: " << kProbe;
  TempDir dir;
  const std::string install_title = "title \"Morvell 安装器\"";
  const std::string uninstall_label = "GtkLabel \"卸载 Morvell\"";

  std::string seen = probe_window(dir, "Morvell-Uninstall.exe", "");
  ASSERT_FALSE(seen.empty()) << "the probe reported nothing";
  EXPECT_TRUE(contains(seen, install_title)) << seen;
  EXPECT_TRUE(contains(seen, uninstall_label)) << seen;
  EXPECT_TRUE(contains(seen, "GtkButton sensitive=1\n        GtkLabel \"卸载\"")) << seen;
  EXPECT_FALSE(contains(seen, "GtkEntry")) << seen;
  EXPECT_FALSE(contains(seen, "GtkCheckButton")) << seen;
  EXPECT_FALSE(contains(seen, "GtkComboBox")) << seen;

  TempDir caps;
  seen = probe_window(caps, "MORVELL-UNINSTALL.EXE", "");
  EXPECT_TRUE(contains(seen, uninstall_label)) << seen;
  seen = probe_window(caps, "MORVELL-UNINSTALL.EXE", "--offline");
  EXPECT_TRUE(contains(seen, "GtkLabel \"离线安装器已包含绿色版程序包。\"")) << seen;
  EXPECT_TRUE(contains(seen, "GtkLabel \"安装 Morvell\"")) << seen;
  seen = probe_window(caps, "MORVELL-UNINSTALL.EXE", "--update --package /nonexistent/p.zip --install-dir /nonexistent/d");
  EXPECT_TRUE(contains(seen, "title \"Morvell 更新器\"")) << seen;
  EXPECT_TRUE(contains(seen, "GtkLabel \"更新 Morvell\"")) << seen;

  TempDir other;
  seen = probe_window(other, "Morvell-Uninstall.exe.bak", "");
  EXPECT_TRUE(contains(seen, "GtkLabel \"安装 Morvell\"")) << seen;
  EXPECT_TRUE(contains(seen, "GtkComboBox")) << seen;
  TempDir plain;
  seen = probe_window(plain, "morvell-installer", "--uninstall --no-launch");
  EXPECT_TRUE(contains(seen, uninstall_label)) << seen;

  // An offline installer is the uninstaller under the uninstaller's name, and opens offline under
  // any other without an option.
  TempDir packed;
  const std::string program = read_text(kInstaller), zip = read_text(kOld);
  for (const char* name : {"Morvell-Uninstall.exe", "Morvell-Setup.exe"}) {
    write_text(packed / (std::string("bin/") + name),
               program + zip + "MORV-PACKAGE:" + std::to_string(program.size()) + ":" + std::to_string(zip.size()));
    ASSERT_EQ(run_shell("chmod +x " + shell_quote(packed / (std::string("bin/") + name))), 0);
  }
  seen = probe_window(packed, "Morvell-Uninstall.exe", "");
  EXPECT_TRUE(contains(seen, uninstall_label)) << seen;
  seen = probe_window(packed, "Morvell-Setup.exe", "");
  EXPECT_TRUE(contains(seen, "GtkLabel \"离线安装器已包含绿色版程序包。\"")) << seen;
  EXPECT_FALSE(contains(seen, "GtkComboBox")) << seen;
}

// What the real program shows after settling its options: the location entry holds the cleaned
// directory and the check boxes the three choices.
TEST(ProgramStart, WindowShowsSettledOptions) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no DISPLAY: run the window tests under xvfb-run -a";
  ASSERT_TRUE(exists(kProbe)) << "the window probe module was not built: " << kProbe;
  TempDir dir;
  std::string seen = probe_window(dir, "morvell-installer",
                                  "--offline --no-launch --no-desktop-shortcut '--install-dir= \"/opt/My Apps/M/\" '");
  EXPECT_TRUE(contains(seen, "GtkEntry \"/opt/My Apps/M\" sensitive=1")) << seen;
  EXPECT_TRUE(contains(seen, "GtkCheckButton active=0 sensitive=1\n      GtkLabel \"创建桌面快捷方式\"")) << seen;
  EXPECT_TRUE(contains(seen, "GtkCheckButton active=1 sensitive=1\n      GtkLabel \"创建开始菜单快捷方式\"")) << seen;
  EXPECT_TRUE(contains(seen, "GtkCheckButton active=0 sensitive=1\n      GtkLabel \"安装完成后启动 Morvell\"")) << seen;

  seen = probe_window(dir, "morvell-installer", "--offline");
  EXPECT_TRUE(contains(seen, "GtkEntry \"" + dir.path() + "/.local/share/Programs/Morvell\"")) << seen;
}
