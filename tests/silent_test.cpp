// Offline installers end to end: morvell-pack writes one from the real installer and a sample
// package, and the real program installs it with --silent-install.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/platform.h"
#include "support/build_paths.h"
#include "support/helpers.h"

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

  // The user changes the configuration; a reinstall of the newer package keeps it.
  write_text(d + "/config/settings.ini", "theme=dark\n");
  write_text(d + "/config/user/profile.ini", "name=me\n");
  // The newer installer is another build of the program (bytes after the image change nothing).
  std::string program2 = box.dir / "build2/morvell-installer";
  write_text(program2, read_text(kInstaller) + std::string(4096, '\0') + "another build");
  ASSERT_EQ(run_shell("chmod +x '" + program2 + "'"), 0);
  std::string setup2 = box.dir / "Morvell-Setup-2.exe";
  ASSERT_EQ(run_shell("'" + kPack + "' --installer '" + program2 + "' --package '" + kNew + "' --output '" + setup2 +
                      "' >/dev/null"),
            0);
  ASSERT_EQ(box.run(setup2, "--silent-install --no-launch --no-desktop-shortcut --install-dir '" + d + "'", &output), 0);
  EXPECT_EQ(output, "");
  EXPECT_EQ(read_text(d + "/version.txt"), "6.1.17\n");
  EXPECT_EQ(read_text(d + "/config/settings.ini"), "theme=dark\n");
  EXPECT_EQ(read_text(d + "/config/user/profile.ini"), "name=me\n");
  EXPECT_TRUE(read_text(d + "/bin/Morvell-Uninstall.exe") == read_text(program2));   // replaced by its program part
  EXPECT_FALSE(exists(d + ".old"));
  EXPECT_FALSE(exists(d + ".new"));
  EXPECT_FALSE(exists(box.dir / "Morvell-Installer-Temp"));
  plat::sleep_ms(500);
  EXPECT_EQ(box.launches(), 1u);   // --no-launch: not started again
}

TEST(SilentInstall, FailuresGiveTheirExitCodesAndLeaveNoWorkDirectory) {
  Sandbox box;
  // The plain program carries nothing: 2, and no work directory beside it; even with --uninstall.
  std::string plain = box.dir / "plain/morvell-installer";
  ASSERT_EQ(run_shell("mkdir -p '" + box.dir.path() + "/plain' && cp '" + kInstaller + "' '" + plain + "'"), 0);
  std::string output;
  EXPECT_EQ(box.run(plain, "--silent-install --uninstall --install-dir '" + box.dir.path() + "/x'", &output), 2);
  EXPECT_EQ(output, "");
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
  EXPECT_EQ(box.run(bad, "--silent-install --no-launch --install-dir '" + d + "'", &output), 3);
  EXPECT_EQ(output, "");
  EXPECT_TRUE(snapshot_tree(d) == before);
  EXPECT_FALSE(exists(d + ".new"));
  EXPECT_FALSE(exists(d + ".old"));
  EXPECT_FALSE(exists(box.dir / "bad/Morvell-Installer-Temp"));
  EXPECT_EQ(box.launches(), 0u);
}
