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
#include "support/pe_head.h"

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
  // A program that is signed already would lose its signature to the signing of the whole file.
  write_text(box.dir / "signed.exe", program_head(512, 64, 0) + std::string(64, 's'));
  EXPECT_NE(box.run(kPack, "--installer '" + box.dir / "signed.exe" + "' --package '" + kOld + "' --output '" +
                               box.dir / "Signed-Setup.exe" + "'",
                    &message),
            0);
  EXPECT_NE(message.find("signed already"), std::string::npos) << message;
  EXPECT_FALSE(exists(box.dir / "Signed-Setup.exe"));
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
  // The uninstaller is the program part of the installer that ran, without the package: the
  // same program, executable, that carries nothing (a silent install from it ends with 2).
  EXPECT_TRUE(read_text(d + "/bin/Morvell-Uninstall.exe") == read_text(kInstaller));
  struct stat st;
  ASSERT_EQ(stat((d + "/bin/Morvell-Uninstall.exe").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  EXPECT_FALSE(exists(d + "/bin/Morvell-Uninstall.exe.partial"));
  EXPECT_EQ(box.run(d + "/bin/Morvell-Uninstall.exe", "--silent-install --install-dir '" + box.dir.path() + "/z'", &output), 2);
  EXPECT_FALSE(exists(box.dir / "z"));
  EXPECT_FALSE(exists(d + "/bin/Morvell-Installer-Temp"));
  EXPECT_EQ(read_text(d + "/install-info.json"), record_for(d));
  EXPECT_TRUE(exists(box.home + "/Desktop/Morvell" + ext()));
  EXPECT_TRUE(exists(box.data + "/applications/Morvell/Morvell" + ext()));
  EXPECT_TRUE(exists(box.data + "/applications/Morvell/卸载 Morvell" + ext()));
  EXPECT_TRUE(box.wait_for_launches(1));
  EXPECT_NE(read_text(box.log).find("dir=" + d), std::string::npos);
  EXPECT_FALSE(exists(box.dir / "Morvell-Installer-Temp"));
  EXPECT_FALSE(exists(d + ".new"));
  EXPECT_FALSE(exists(d + ".old"));

  // The user changes the configuration; a reinstall of the newer package keeps it. The running
  // application left a pipe and a socket there: never opened, passed by.
  write_text(d + "/config/settings.ini", "theme=dark\n");
  write_text(d + "/config/user/profile.ini", "name=me\n");
  ASSERT_EQ(run_shell("mkfifo '" + d + "/config/ipc.fifo' && python3 -c 'import socket,sys; "
                      "socket.socket(socket.AF_UNIX).bind(sys.argv[1])' '" + d + "/config/user/app.sock'"),
            0);
  // The newer installer is another build of the program (bytes after the image change nothing).
  std::string program2 = box.dir / "build2/morvell-installer";
  write_text(program2, read_text(kInstaller) + std::string(4096, '\0') + "another build");
  ASSERT_EQ(run_shell("chmod +x '" + program2 + "'"), 0);
  std::string setup2 = box.dir / "Morvell-Setup-2.exe";
  ASSERT_EQ(run_shell("'" + kPack + "' --installer '" + program2 + "' --package '" + kNew + "' --output '" + setup2 +
                      "' >/dev/null"),
            0);
  // This run keeps a log, in a folder that does not exist yet.
  const std::string log = box.logs / "fleet/morvell.log";
  ASSERT_EQ(box.run("timeout", "120 '" + setup2 + "' --silent-install --log '" + log +
                                   "' --no-desktop-shortcut --install-dir '" + d + "'",
                    &output),
            0);
  EXPECT_EQ(output, "");
  const std::vector<std::string> events = log_events(read_text(log));
  // The carried package is unpacked where it lies, by the unpacker inside the program; Morvell
  // starts before the previous version is removed, and the run ends after that.
  EXPECT_TRUE(logged_in_order(events, {
      std::string("morvell-installer ") + installer_version,
      "命令行：\"" + setup2 + "\" \"--silent-install\" \"--log\"",
      // Opened without a mode, the installer that carries a package runs offline.
      "运行模式：offline，更新：否，静默安装：是，安装目录：" + d + "，安装包：，桌面快捷方式：否，开始菜单快捷方式：是，安装后启动：是",
      "状态：正在解压安装包...", "状态：正在替换程序文件...", "状态：正在恢复用户配置...",
      "已写入安装记录：" + d + "/install-info.json", "启动程序（不等待其结束）：" + d + "/bin/Morvell.exe",
      "启动外部程序：rm -rf -- \"" + d + ".old/", "退出码：0"}));
  EXPECT_EQ(count_logged(events, "启动外部程序：bsdtar"), 0u);
  EXPECT_EQ(count_logged(events, "启动外部程序：unzip"), 0u);
  EXPECT_EQ(events.back(), "退出码：0");
  EXPECT_TRUE(box.wait_for_launches(2));
  EXPECT_EQ(count_logged(events, "MALFORMED"), 0u);
  EXPECT_EQ(count_logged(events, "失败"), 0u);
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.17\n");
  EXPECT_EQ(read_text(d + "/config/settings.ini"), "theme=dark\n");
  EXPECT_EQ(read_text(d + "/config/user/profile.ini"), "name=me\n");
  EXPECT_TRUE(read_text(d + "/bin/Morvell-Uninstall.exe") == read_text(program2));   // replaced by its program part
  EXPECT_FALSE(exists(d + ".old"));
  EXPECT_FALSE(exists(d + ".new"));
  EXPECT_FALSE(exists(box.dir / "Morvell-Installer-Temp"));
  EXPECT_EQ(capture_shell("cd '" + d + "/config' && find . | sort"), ".\n./settings.ini\n./user\n./user/profile.ini\n");

  // A link given as the installation: the folder it names is installed, the link stays a link.
  std::string link = box.dir / "Morvell-Link";
  ASSERT_EQ(run_shell("ln -s '" + d + "' '" + link + "' && echo 6.1.0 > '" + d + "/version.txt'"), 0);
  ASSERT_EQ(box.run(setup2, "--silent-install --no-launch --no-desktop-shortcut --install-dir '" + link + "'"), 0);
  EXPECT_EQ(capture_shell("readlink '" + link + "'"), d + "\n");
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.17\n");
  EXPECT_EQ(read_text(d + "/config/settings.ini"), "theme=dark\n");
  EXPECT_FALSE(exists(link + ".old"));
  EXPECT_FALSE(exists(d + ".old"));
  plat::sleep_ms(500);
  EXPECT_EQ(box.launches(), 2u);   // --no-launch: not started again

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

// What the Uninstall button does, without a window: shortcuts gone at once, the installation once
// the program has ended; a program that belongs to no installation is refused with 3 and says why.
TEST(SilentUninstall, StartsTheRemovalOrSaysWhyNot) {
  Sandbox box;
  std::string setup = box.pack(kOld, "Morvell-Setup.exe");
  std::string d = box.dir / "Apps/Morvell";
  ASSERT_EQ(box.run(setup, "--silent-install --no-launch --install-dir '" + d + "'"), 0);
  ASSERT_TRUE(exists(box.home + "/Desktop/Morvell" + ext()));
  const std::string log = box.logs / "uninstall.log";
  std::string output;
  EXPECT_EQ(box.run(d + "/bin/Morvell-Uninstall.exe", "--silent-uninstall --log '" + log + "'", &output), 0);
  EXPECT_EQ(output, "");
  EXPECT_FALSE(exists(box.home + "/Desktop/Morvell" + ext()));
  EXPECT_FALSE(exists(box.data + "/applications/Morvell"));
  EXPECT_TRUE(logged_in_order(log_events(read_text(log)), {"静默卸载：是", "启动程序（不等待其结束）：", "退出码：0"}))
      << read_text(log);
  EXPECT_TRUE(wait_until(30000, [&] { return !exists(d); }));   // the script outlives the program
  EXPECT_TRUE(is_dir(box.dir / "Apps"));

  // The offline installer itself is no installation: nothing is touched.
  write_text(box.home + "/Desktop/Morvell" + ext(), "[Desktop Entry]\n");
  const auto before = snapshot_tree(box.dir.path());
  EXPECT_EQ(box.run(setup, "--silent-uninstall --log '" + log + "'", &output), 3);
  EXPECT_EQ(output, "无法识别安装目录，卸载已取消。\n");
  const std::vector<std::string> events = log_events(read_text(log));
  EXPECT_TRUE(logged_in_order(events, {"退出码：0", "失败：无法识别安装目录，卸载已取消。", "退出码：3"})) << read_text(log);
  EXPECT_TRUE(snapshot_tree(box.dir.path()) == before);
}

// A reinstall over a configuration whose entries stand in the way of the package's: a file of the
// user's where the package now brings a folder, a folder where it brings a file. Each is kept
// beside under a name that says so. A link to a synced folder, in config or as config itself,
// stays that link, and nothing behind it is written.
TEST(SilentInstall, ReinstallKeepsConfigEntriesInTheWayAndSyncedLinks) {
  Sandbox box;
  const std::string src = box.dir / "package-src", package = box.dir / "Morvell-next.zip";
  ASSERT_EQ(run_shell("mkdir -p '" + src + "' && cd '" + src + "' && unzip -q '" + kNew + "'"), 0);
  write_text(src + "/config/theme/dark.ini", "dark=1\n");
  write_text(src + "/config/profiles", "profiles are one file now");
  write_text(src + "/config/synced/default.ini", "shipped");
  ASSERT_TRUE(make_zip(src, package));
  const std::string setup = box.pack(package, "Morvell-Setup.exe"), d = box.dir / "Apps/Morvell";
  const std::string synced = box.dir / "Sync/settings", args = "--silent-install --no-launch --install-dir '" + d + "'";
  ASSERT_EQ(box.run(setup, args), 0);
  write_text(synced + "/mine.ini", "synced elsewhere");
  const auto behind = snapshot_tree(synced);
  ASSERT_EQ(run_shell("cd '" + d + "/config' && rm -rf theme profiles synced && echo 'my theme' > theme && mkdir profiles && "
                      "echo me > profiles/me.json && ln -s '" + synced + "' synced"),
            0);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(box.run(setup, args), 0) << round;
    EXPECT_EQ(read_text(d + "/config/theme.user-file"), "my theme\n") << round;
    EXPECT_EQ(read_text(d + "/config/theme/dark.ini"), "dark=1\n") << round;
    EXPECT_EQ(read_text(d + "/config/profiles.user-folder/me.json"), "me\n") << round;
    EXPECT_EQ(read_text(d + "/config/profiles"), "profiles are one file now") << round;
    EXPECT_EQ(capture_shell("readlink '" + d + "/config/synced'"), synced + "\n") << round;
    EXPECT_FALSE(exists(d + "/config/theme.user-file-2")) << round;
  }
  EXPECT_TRUE(snapshot_tree(synced) == behind);

  ASSERT_EQ(run_shell("rm -rf '" + d + "/config' && ln -s '" + synced + "' '" + d + "/config'"), 0);
  ASSERT_EQ(box.run(setup, args), 0);
  EXPECT_EQ(capture_shell("readlink '" + d + "/config'"), synced + "\n");
  EXPECT_TRUE(snapshot_tree(synced) == behind);
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
  // The log names the failing step and the reason: the unpacker that reads the package where it
  // lies could not read it, and no tool was asked to, since the tools would need a copy.
  const std::vector<std::string> events = log_events(read_text(log));
  EXPECT_TRUE(logged_in_order(events, {"退出码：2", "运行模式：offline", "状态：正在解压安装包...",
                                       "失败：[正在解压安装包...] 无法打开安装包。", "退出码：3"}));
  EXPECT_EQ(count_logged(events, "启动外部程序："), 0u);
  EXPECT_EQ(events.back(), "退出码：3");
  EXPECT_TRUE(snapshot_tree(d) == before);
  EXPECT_FALSE(exists(d + ".new"));
  EXPECT_FALSE(exists(d + ".old"));
  EXPECT_FALSE(exists(box.dir / "bad/Morvell-Installer-Temp"));

  // A package without bin/Morvell.exe: 3, and the installation stays as it was.
  write_text(box.dir / "hollow/readme.txt", "no program in here");
  write_text(box.dir / "hollow/bin/Morvell", "a near miss");
  ASSERT_TRUE(make_zip(box.dir / "hollow", box.dir / "hollow.zip"));
  EXPECT_EQ(box.run(box.pack(box.dir / "hollow.zip", "Hollow.exe"), "--silent-install --install-dir '" + d + "'", &output),
            3);
  EXPECT_EQ(output, "安装包中缺少 Morvell 程序文件。\n");
  EXPECT_TRUE(snapshot_tree(d) == before);
  EXPECT_FALSE(exists(d + ".new"));
  EXPECT_FALSE(exists(d + ".old"));
  EXPECT_EQ(box.launches(), 0u);

  // Locations that are not an installation (a folder of the user's, beside unrelated things that
  // bear the staging names; a file; the home itself): 3, the reason on standard error, and not a
  // byte touched anywhere.
  const std::string good = box.dir / "Good.exe";
  const std::string documents = box.home + "/Documents";
  write_text(documents + "/thesis.txt", "years of work");
  write_text(documents + ".old/draft.txt", "an older draft");
  write_text(documents + ".new/ideas.txt", "new ideas");
  write_text(documents + ".swap", "swap meeting notes");
  write_text(box.dir / "a-file", "a file of the user's");
  const auto everything = snapshot_tree(box.dir.path());
  const std::string not_installation = "所选安装位置已存在且不是 Morvell 安装目录，请选择空文件夹或原安装目录。\n";
  const std::string own_folder =
      "不能安装到根目录、主文件夹或“桌面”“文档”“下载”“音乐”“图片”等常用文件夹，请在其中新建一个文件夹作为安装目录。\n";
  for (const std::string& target : {documents, box.dir / "a-file", box.home}) {
    EXPECT_EQ(box.run(good, "--silent-install --no-launch --install-dir '" + target + "'", &output), 3) << target;
    EXPECT_EQ(output, target == box.dir / "a-file" ? not_installation : own_folder);
    EXPECT_TRUE(snapshot_tree(box.dir.path()) == everything) << target;
  }
  // Below a file nothing can be made: 3, and the log says which operation failed on which path
  // and what the system answered.
  const std::string under_file = box.dir / "a-file/Morvell";
  const std::string refused_log = box.logs / "refused.log";
  EXPECT_EQ(box.run(good, "--silent-install --no-launch --install-dir '" + under_file + "' --log '" + refused_log + "'"), 3);
  EXPECT_TRUE(logged_in_order(log_events(read_text(refused_log)),
                              {"文件操作失败：make_directory " + under_file + "（系统错误：errno 20: Not a directory）",
                               "失败：[正在准备安装目录...] ", "退出码：3"}))
      << read_text(refused_log);
  EXPECT_TRUE(snapshot_tree(box.dir.path()) == everything);
  // An empty folder is taken.
  ASSERT_EQ(run_shell("mkdir '" + box.dir / "Empty" + "'"), 0);
  EXPECT_EQ(box.run(good, "--silent-install --no-launch --install-dir '" + box.dir / "Empty" + "'", &output), 0);
  EXPECT_EQ(read_text(box.dir / "Empty/install-info.json"), record_for(box.dir / "Empty"));

  // Another run holds the installation: this one waits a few seconds, then 3 with the reason,
  // the installation untouched; once the other has ended it goes ahead.
  plat::FileHandle held = plat::kNoFile;
  ASSERT_EQ(plat::try_lock_file(W(d + ".lock"), held), plat::LockResult::Taken);
  EXPECT_EQ(box.run(good, "--silent-install --no-launch --install-dir '" + d + "'", &output), 3);
  EXPECT_EQ(output, "另一个安装或更新正在进行，请稍后重试。\n");
  EXPECT_TRUE(snapshot_tree(d) == before);
  plat::unlock_file(held, W(d + ".lock"));
  EXPECT_FALSE(exists(d + ".lock"));
  EXPECT_EQ(box.run(good, "--silent-install --no-launch --install-dir '" + d + "'", &output), 0);
  EXPECT_EQ(read_text(d + "/config/settings.ini"), "mine\n");
  EXPECT_FALSE(exists(d + ".lock"));
}

TEST(SilentInstall, ARelativeInstallDirectoryStandsOnTheCurrentDirectory) {
  Sandbox box;
  std::string setup = box.pack(kOld, "Morvell-Setup.exe");
  const std::string cwd = box.dir / "cwd";
  const std::string d = cwd + "/rel/Morvell";
  ASSERT_EQ(run_shell("mkdir -p '" + cwd + "' && cd '" + cwd + "' && " + box.env() + "'" + setup +
                      "' --silent-install --install-dir rel/Morvell/ >/dev/null 2>&1"),
            0);
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.16\n");
  EXPECT_EQ(read_text(d + "/install-info.json"), record_for(d));
  // The shortcuts name the installation wherever they are opened from, and the program started.
  const std::string entry = read_text(box.home + "/Desktop/Morvell" + ext());
  EXPECT_NE(entry.find("Path=" + d + "/bin\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("Exec=\"" + d + "/bin/Morvell.exe\"\n"), std::string::npos) << entry;
  EXPECT_TRUE(box.wait_for_launches(1));
  EXPECT_NE(read_text(box.log).find("dir=" + d), std::string::npos) << read_text(box.log);

  // ".." and "." are taken out once at start-up: the record, the shortcuts and the lock beside
  // the folder name it plainly, so nothing depends on the folder it was given from.
  const std::string side = box.dir / "side";
  ASSERT_EQ(run_shell("mkdir -p '" + cwd + "/E' '" + side + "' && cd '" + cwd + "/E' && " + box.env() + "'" + setup +
                      "' --silent-install --no-launch --install-dir ../M >/dev/null 2>&1 && cd '" + side + "' && " +
                      box.env() + "'" + setup + "' --silent-install --no-launch --install-dir . >/dev/null 2>&1"),
            0);
  EXPECT_EQ(read_text(cwd + "/M/install-info.json"), record_for(cwd + "/M"));
  EXPECT_EQ(read_text(side + "/install-info.json"), record_for(side));
  EXPECT_FALSE(exists(side + "/.lock"));

  // One installer run twice at once, into two folders: each run has a work folder of its own.
  for (int round = 0; round < 4; ++round) {
    const std::string a = box.dir / ("twice/A" + std::to_string(round)), b = box.dir / ("twice/B" + std::to_string(round));
    const std::string codes = box.logs / "codes.txt";
    ASSERT_EQ(run_shell("( " + box.env() + "'" + setup + "' --silent-install --no-launch --install-dir '" + a +
                        "' >/dev/null 2>&1; echo a=$? >> '" + codes + "' ) & ( " + box.env() + "'" + setup +
                        "' --silent-install --no-launch --install-dir '" + b + "' >/dev/null 2>&1; echo b=$? >> '" +
                        codes + "' ) & wait"),
              0);
    const std::string both = read_text(codes);
    EXPECT_NE(both.find("a=0"), std::string::npos) << "round " << round << ": " << both;
    EXPECT_NE(both.find("b=0"), std::string::npos) << "round " << round << ": " << both;
    EXPECT_EQ(read_text(a + "/install-info.json"), record_for(a));
    EXPECT_EQ(read_text(b + "/install-info.json"), record_for(b));
    run_shell("rm -f '" + codes + "'");
  }
  EXPECT_FALSE(exists(box.dir / "Morvell-Installer-Temp"));
  EXPECT_FALSE(exists(box.dir / "Morvell-Installer-Temp-2"));

  // The carried package is read where it lies: no copy goes into a work folder, and no unpacker
  // tool is started (a stand-in that would note the folder of the package it is given stays
  // unasked), also when a folder open to everyone stands at the work folder's usual name; that
  // one is left as it was.
  const std::string stand_in = box.dir / "look/bsdtar", seen = box.logs / "seen.txt";
  write_text(stand_in, "#!/bin/sh\nfor a; do [ \"$prev\" = -xf ] && stat -c '%a %u' \"$(dirname \"$a\")\" > '" + seen +
                           "'; prev=$a; done\nexit 1\n");
  ASSERT_EQ(run_shell("chmod 755 '" + stand_in + "' && mkdir -m 0777 '" + box.dir / "Morvell-Installer-Temp" + "'"), 0);
  const std::string open_to_all = box.dir / "Morvell-Installer-Temp";
  write_text(open_to_all + "/notes.txt", "someone's");
  ASSERT_EQ(run_shell("chmod 0777 '" + open_to_all + "' && cd '" + cwd + "' && PATH='" + box.dir / "look" +
                      "':\"$PATH\" " + box.env() + "'" + setup + "' --silent-install --no-launch --install-dir '" +
                      box.dir / "private/Morvell" + "' >/dev/null 2>&1"),
            0);
  EXPECT_FALSE(exists(seen));
  EXPECT_EQ(capture_shell("stat -c %a '" + open_to_all + "'"), "777\n");
  EXPECT_EQ(capture_shell("ls -A '" + open_to_all + "'"), "notes.txt\n");
  EXPECT_EQ(read_text(open_to_all + "/notes.txt"), "someone's");
  EXPECT_EQ(read_text(box.dir / "private/Morvell/install-info.json"), record_for(box.dir / "private/Morvell"));
}
