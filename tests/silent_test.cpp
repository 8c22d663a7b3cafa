// Offline installers end to end: morvell-pack writes one from the real installer and a sample
// package, and the real program installs it with --silent-install.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/state.h"
#include "platform/platform.h"
#include "support/build_paths.h"
#include "support/helpers.h"
#include "support/log_reader.h"

using namespace testing_support;

namespace {

// A private home with its own desktop and menu folders, an application log, and no display.
struct Sandbox {
  TempDir dir;
  TempDir logs;   // what the programs print, kept apart from the trees under test
  std::string home = dir / "home";
  std::string data = home + "/.local/share";
  std::string config = home + "/.config";
  std::string log = logs / "app.log";
  std::string env() const {
    return "env -u DISPLAY HOME='" + home + "' XDG_DATA_HOME='" + data + "' XDG_CONFIG_HOME='" + config +
           "' MORVELL_APP_LOG='" + log + "' MORVELL_APP_EXIT=1 ";
  }
  // Runs a program in the sandbox; `output` receives what it printed on both streams.
  int run(const std::string& program, const std::string& args, std::string* output = nullptr) const {
    std::string out_file = logs / "output.txt";
    int code = run_shell(env() + "'" + program + "' " + args + " >'" + out_file + "' 2>&1");
    if (output) *output = read_text(out_file);
    return code;
  }
  std::string pack(const std::string& package, const std::string& name) const {
    std::string output = dir / name;
    EXPECT_EQ(run_shell("'" + kPack + "' --installer '" + kInstaller + "' --package '" + package + "' --output '" +
                        output + "' >/dev/null"),
              0);
    return output;
  }
  size_t launches() const {
    std::string text = read_text(log);
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
  }
  // The application is started detached: wait (bounded) until it has written its line.
  bool wait_for_launches(size_t count) const {
    for (int i = 0; i < 100 && launches() < count; ++i) plat::sleep_ms(50);
    return launches() == count;
  }
};

std::string record_for(const std::string& d) {
  return "{\n  \"app_exe\": \"bin/Morvell.exe\",\n  \"install_dir\": \"" + d +
         "\",\n  \"uninstaller\": \"bin/Morvell-Uninstall.exe\",\n  \"version\": \"6.1.17\"\n}";
}

std::string ext() { return U(plat::kShortcutExtension); }

}  // namespace

TEST(MorvellPack, WritesProgramArchiveAndTrailerAndRefusesNonZip) {
  Sandbox box;
  std::string out = box.pack(kOld, "Setup.exe");
  std::string program = read_text(kInstaller), zip = read_text(kOld);
  std::string trailer = "MORV-PACKAGE:" + std::to_string(program.size()) + ":" + std::to_string(zip.size());
  EXPECT_TRUE(read_text(out) == program + zip + trailer);
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);

  // Writing again replaces the file whole.
  box.pack(kNew, "Setup.exe");
  EXPECT_TRUE(read_text(out) == program + read_text(kNew) + "MORV-PACKAGE:" + std::to_string(program.size()) + ":" +
                                    std::to_string(read_text(kNew).size()));

  // Not a zip: a clear message, a failure code, and nothing written (no temporary file either).
  write_text(box.dir / "notes.txt", "PK but not really an archive, just some text that is long enough");
  std::string before = capture_shell("ls -a '" + box.dir.path() + "'");
  std::string message;
  EXPECT_NE(box.run(kPack, "--installer '" + kInstaller + "' --package '" + box.dir.path() + "/notes.txt' --output '" +
                               box.dir.path() + "/Bad.exe'",
                    &message),
            0);
  EXPECT_NE(message.find("not a zip archive"), std::string::npos) << message;
  EXPECT_FALSE(exists(box.dir / "Bad.exe"));
  EXPECT_EQ(capture_shell("ls -a '" + box.dir.path() + "'"), before);
  // Missing options: usage and a failure code.
  EXPECT_NE(box.run(kPack, "--installer '" + kInstaller + "'", &message), 0);
  EXPECT_NE(message.find("usage"), std::string::npos);
}

TEST(SilentInstall, InstallsTheCarriedPackageThenReinstallKeepsConfiguration) {
  Sandbox box;
  std::string setup = box.pack(kOld, "Morvell-Setup.exe");
  std::string d = box.dir / "Apps/Morvell";
  std::string output;
  ASSERT_EQ(box.run(setup, "--silent-install --install-dir '" + d + "/'", &output), 0);
  EXPECT_EQ(output, "");   // nothing printed
  EXPECT_TRUE(exists(d + "/bin/Morvell.exe"));
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.16\n");
  EXPECT_TRUE(read_text(d + "/bin/Morvell-Uninstall.exe") == read_text(setup));
  EXPECT_EQ(read_text(d + "/install-info.json"), record_for(d));
  EXPECT_TRUE(exists(box.home + "/Desktop/Morvell" + ext()));
  EXPECT_TRUE(exists(box.data + "/applications/Morvell/Morvell" + ext()));
  EXPECT_TRUE(exists(box.data + "/applications/Morvell/卸载 Morvell" + ext()));
  EXPECT_TRUE(box.wait_for_launches(1));
  EXPECT_NE(read_text(box.log).find("dir=" + d), std::string::npos);
  EXPECT_FALSE(exists(box.dir / "Morvell-Installer-Temp"));
  EXPECT_FALSE(exists(d + ".new"));
  EXPECT_FALSE(exists(d + ".old"));

  // The user changes the configuration; a reinstall of the newer package keeps it.
  write_text(d + "/config/settings.ini", "theme=dark\n");
  write_text(d + "/config/user/profile.ini", "name=me\n");
  // This run keeps a log, in a folder that does not exist yet.
  std::string setup2 = box.pack(kNew, "Morvell-Setup-2.exe");
  const std::string log = box.logs / "fleet/morvell.log";
  ASSERT_EQ(box.run(setup2, "--silent-install --no-launch --log '" + log + "' --no-desktop-shortcut --install-dir '" + d + "'", &output), 0);
  EXPECT_EQ(output, "");
  const std::vector<std::string> events = log_events(read_text(log));
  EXPECT_TRUE(logged_in_order(events, {
      std::string("morvell-installer ") + installer_version,
      "命令行：\"" + setup2 + "\" \"--silent-install\" \"--no-launch\" \"--log\"",
      "运行模式：online，更新：否，静默安装：是，安装目录：" + d + "，安装包：，桌面快捷方式：否，开始菜单快捷方式：是，安装后启动：否",
      "状态：正在解压安装包...", "启动外部程序：bsdtar", "外部程序结束：bsdtar，退出码 0",
      "状态：正在替换程序文件...", "状态：正在恢复用户配置...", "已写入安装记录：" + d + "/install-info.json",
      "退出码：0"}));
  EXPECT_EQ(events.back(), "退出码：0");
  EXPECT_EQ(count_logged(events, "MALFORMED"), 0u);
  EXPECT_EQ(count_logged(events, "失败"), 0u);
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.17\n");
  EXPECT_EQ(read_text(d + "/config/settings.ini"), "theme=dark\n");
  EXPECT_EQ(read_text(d + "/config/user/profile.ini"), "name=me\n");
  EXPECT_TRUE(read_text(d + "/bin/Morvell-Uninstall.exe") == read_text(setup2));
  EXPECT_FALSE(exists(d + ".old"));
  EXPECT_FALSE(exists(d + ".new"));
  EXPECT_FALSE(exists(box.dir / "Morvell-Installer-Temp"));
  plat::sleep_ms(500);
  EXPECT_EQ(box.launches(), 1u);   // --no-launch: not started again

  // Two installs at once from their own folders, appending to one log (--log=FILE): every line
  // stays whole, both runs are there from their first line to their exit code.
  const std::string shared = box.logs / "shared.log";
  ASSERT_EQ(run_shell("mkdir -p '" + box.dir / "one" + "' '" + box.dir / "two" + "' && cp '" + setup2 + "' '" + box.dir / "one" +
                      "/' && cp '" + setup2 + "' '" + box.dir / "two" + "/'"), 0);
  std::string both;
  for (const char* which : {"one", "two"})
    both += box.env() + "'" + box.dir / which + "/Morvell-Setup-2.exe' --silent-install --no-launch --log='" + shared +
            "' --install-dir '" + box.dir.path() + "/Apps/" + which + "' & ";
  ASSERT_EQ(run_shell("(" + both + "wait) >/dev/null 2>&1"), 0);
  const std::vector<std::string> shared_events = log_events(read_text(shared));
  EXPECT_EQ(count_logged(shared_events, "MALFORMED"), 0u);
  EXPECT_EQ(count_logged(shared_events, std::string("morvell-installer ") + installer_version), 2u);
  EXPECT_EQ(count_logged(shared_events, "已写入安装记录："), 2u);
  EXPECT_EQ(count_logged(shared_events, "退出码：0"), 2u);
  EXPECT_EQ(read_text(box.dir / "Apps/one/version.txt"), "6.1.17\n");
  EXPECT_EQ(read_text(box.dir / "Apps/two/version.txt"), "6.1.17\n");
}

TEST(SilentInstall, FailuresGiveTheirExitCodesAndLeaveNoWorkDirectory) {
  Sandbox box;
  // The plain program carries nothing: 2, and no work directory beside it; even with --uninstall.
  std::string plain = box.dir / "plain/morvell-installer";
  ASSERT_EQ(run_shell("mkdir -p '" + box.dir.path() + "/plain' && cp '" + kInstaller + "' '" + plain + "'"), 0);
  std::string output;
  const std::string log = box.logs / "failures.log";
  EXPECT_EQ(box.run(plain, "--silent-install --uninstall --log='" + log + "' --install-dir '" + box.dir.path() + "/x'", &output), 2);
  EXPECT_EQ(output, "离线安装器未包含安装包数据。\n");   // a script sees why
  EXPECT_TRUE(logged_in_order(log_events(read_text(log)), {"失败：离线安装器未包含安装包数据。", "退出码：2"}));
  EXPECT_FALSE(exists(box.dir / "plain/Morvell-Installer-Temp"));
  EXPECT_FALSE(exists(box.dir / "x"));

  // A trailer whose length runs past the end: the copy fails, 2, and the partial copy and the
  // work directory are removed all the same.
  std::string program = read_text(kInstaller);
  std::string broken = box.dir / "broken/Setup.exe";
  write_text(broken, program + read_text(kOld) + "MORV-PACKAGE:" + std::to_string(program.size()) + ":99999999");
  ASSERT_EQ(run_shell("chmod +x '" + broken + "'"), 0);
  EXPECT_EQ(box.run(broken, "--silent-install --install-dir '" + box.dir.path() + "/y'"), 2);
  EXPECT_FALSE(exists(box.dir / "broken/Morvell-Installer-Temp"));
  EXPECT_FALSE(exists(box.dir / "y"));

  // An earlier installation, then a package that cannot be unpacked: 3, the installation untouched.
  std::string d = box.dir / "Morvell";
  ASSERT_EQ(box.run(box.pack(kOld, "Good.exe"), "--silent-install --no-launch --install-dir '" + d + "'"), 0);
  write_text(d + "/config/settings.ini", "mine\n");
  auto before = snapshot_tree(d);
  std::string junk = "PK\x03\x04 this is no zip archive at all, only bytes that start like one.......";
  std::string bad = box.dir / "bad/Setup.exe";
  write_text(bad, program + junk + "MORV-PACKAGE:" + std::to_string(program.size()) + ":" + std::to_string(junk.size()));
  ASSERT_EQ(run_shell("chmod +x '" + bad + "'"), 0);
  EXPECT_EQ(box.run(bad, "--silent-install --no-launch --install-dir '" + d + "' --log '" + log + "'", &output), 3);
  EXPECT_EQ(output, "无法打开安装包。\n");
  // The log names the failing step and the reason after each unpacker had its turn.
  const std::vector<std::string> events = log_events(read_text(log));
  EXPECT_TRUE(logged_in_order(events, {"退出码：2", "运行模式：online", "状态：正在解压安装包...",
                                       "启动外部程序：bsdtar", "外部程序结束：bsdtar，退出码 1", "启动外部程序：unzip",
                                       "失败：[正在解压安装包...] 无法打开安装包。", "退出码：3"}));
  EXPECT_EQ(events.back(), "退出码：3");
  EXPECT_TRUE(snapshot_tree(d) == before);
  EXPECT_FALSE(exists(d + ".new"));
  EXPECT_FALSE(exists(d + ".old"));
  EXPECT_FALSE(exists(box.dir / "bad/Morvell-Installer-Temp"));
  EXPECT_EQ(box.launches(), 0u);
}
