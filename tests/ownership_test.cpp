// What the installer touches is only what it can prove it made, for the user running it: real
// silent installs of a packed installer against folders that merely look like installations,
// the user's own folders, work names planted by a second real user, packages that bring owners,
// modes or the installer's own names, inputs that are links or pipes, a crafted trailer, and
// places where the folder around the installation cannot be written. Everything else is left
// exactly as it was, and the run says why.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/build_paths.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

const std::string kNotInstallation = "所选安装位置已存在且不是 Morvell 安装目录，请选择空文件夹或原安装目录。\n";
const std::string kOwnFolder =
    "不能安装到根目录、主文件夹或“桌面”“文档”“下载”“音乐”“图片”等常用文件夹，请在其中新建一个文件夹作为安装目录。\n";
const std::string kSecondUser = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

std::string q(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string record_of(const std::string& d) {
  return "{\n  \"app_exe\": \"bin/Morvell.exe\",\n  \"install_dir\": \"" + d +
         "\",\n  \"uninstaller\": \"bin/Morvell-Uninstall.exe\",\n  \"version\": \"6.1.17\"\n}";
}

// A private home, a packed offline installer, and silent runs of it that may not hang.
struct Box {
  TempDir dir;
  TempDir out;
  std::string home = dir / "home";
  std::string setup = dir / "setup/Morvell-Setup";
  Box() {
    run_shell("mkdir -p " + q(home) + " " + q(dir / "setup") + " && chmod 755 " + q(dir.path()));
    EXPECT_EQ(pack(kNew, setup), 0);
  }
  int pack(const std::string& package, const std::string& output) const {
    return run_shell("'" + kPack + "' --installer '" + kInstaller + "' --package " + q(package) + " --output " +
                     q(output) + " >/dev/null");
  }
  // A silent install into `d` (with `extra` options, as `as` when given, with `environment` added);
  // what it printed in `output`.
  int silent(const std::string& d, std::string* output = nullptr, const std::string& extra = "",
             const std::string& program = "", const std::string& as = "", const std::string& environment = "") const {
    const std::string printed = out / "printed.txt";
    const int code = run_shell(as + "env -u DISPLAY " + environment + " HOME=" + q(home) +
                               " XDG_DATA_HOME= XDG_CONFIG_HOME= /usr/bin/timeout 120 " +
                               q(program.empty() ? setup : program) + " --silent-install --no-launch --install-dir " +
                               q(d) + " " + extra + " >" + q(printed) + " 2>&1");
    if (output) *output = read_text(printed);
    return code;
  }
};

// A zip of `files` (name, mode, content) whose entries say they belong to uid/gid 60002.
bool zip_owned_by_another(const std::string& zip, const std::vector<std::vector<std::string>>& files) {
  std::string script =
      "import struct, sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
      "    for name, mode, data in zip(sys.argv[2::3], sys.argv[3::3], sys.argv[4::3]):\n"
      "        info = zipfile.ZipInfo(name)\n"
      "        info.create_system = 3\n"
      "        info.external_attr = (int(mode, 8) << 16) | (0x10 if name.endswith('/') else 0)\n"
      "        info.extra = struct.pack('<HHBBIBI', 0x7875, 11, 1, 4, 60002, 4, 60002)\n"
      "        z.writestr(info, data)\n";
  write_text(zip + ".py", script);
  std::string command = "python3 " + q(zip + ".py") + " " + q(zip);
  for (const auto& file : files) command += " " + q(file[0]) + " " + q(file[1]) + " " + q(file[2]);
  return run_shell(command) == 0;
}

}  // namespace

// A folder holding any install-info.json, or a bare program, is not an installation: only a record
// with the installer's members that names this very folder is. The home, and the user's well-known
// folders even when empty, are never a target. Each refusal leaves every byte where it was.
TEST(OwnershipByProof, OnlyARecordNamingThisFolderMakesAnInstallation) {
  Box box;
  const std::string d = box.dir / "Apps/Morvell";
  const std::vector<std::string> records = {"[]", "\"x\"", "plain text", "{}", "{\"tool\": \"another\"}",
                                            record_of(box.dir / "Apps/Elsewhere"),
                                            "{\"app_exe\": \"bin/Morvell.exe\", \"install_dir\": \"" + d + "\"}"};
  for (const std::string& record : records) {
    run_shell("rm -rf " + q(d));
    write_text(d + "/docs/thesis.txt", "years of work");
    write_text(d + "/install-info.json", record);
    write_text(d + "/bin/Morvell.exe", "a program of the user's");
    const auto before = snapshot_tree(box.dir.path());
    std::string output;
    EXPECT_EQ(box.silent(d, &output), 3) << record;
    EXPECT_EQ(output, kNotInstallation) << record;
    EXPECT_TRUE(snapshot_tree(box.dir.path()) == before) << record;
  }
  // Another tool's record in the home: the home is the user's, whatever it holds.
  write_text(box.home + "/install-info.json", record_of(box.home));
  write_text(box.home + "/.config/other/settings", "theirs");
  write_text(box.home + "/.local/share/keep", "theirs");
  run_shell("mkdir -p " + q(box.home + "/Music") + " " + q(box.home + "/Pictures"));
  const auto before = snapshot_tree(box.dir.path());
  for (const std::string& own : {box.home, box.home + "/Music", box.home + "/Pictures"}) {
    std::string output;
    EXPECT_EQ(box.silent(own, &output), 3) << own;
    EXPECT_EQ(output, kOwnFolder) << own;
    EXPECT_TRUE(snapshot_tree(box.dir.path()) == before) << own;
    EXPECT_EQ(capture_shell("find " + q(box.home + "/Music") + " " + q(box.home + "/Pictures") + " -mindepth 1"), "")
        << own;
  }
  // The installer's own installation, and an empty folder, are taken.
  run_shell("rm -rf " + q(d) + " && mkdir -p " + q(d));
  EXPECT_EQ(box.silent(d), 0);
  EXPECT_EQ(read_text(d + "/install-info.json"), record_of(d));
  write_text(d + "/config/settings.ini", "mine");
  EXPECT_EQ(box.silent(d), 0);
  EXPECT_EQ(read_text(d + "/config/settings.ini"), "mine");
}

// Another user's D.old, D.swap, D.new and D.lock beside the installation, in a shared folder
// (sticky or not): the victim's reinstall touches none of them, keeps its installation and says
// which one stands in the way.
TEST(OwnershipByProof, WorkNamesPlantedByAnotherUserStopTheRunUntouched) {
  if (getuid() != 0) GTEST_SKIP() << "a second user needs root (setpriv)";
  Box box;
  for (const char* mode : {"1777", "0777"}) {
    const std::string shared = box.dir / (std::string("shared-") + mode), d = shared + "/Morvell";
    ASSERT_EQ(run_shell("mkdir -p " + q(shared) + " && chmod " + mode + " " + q(shared)), 0);
    ASSERT_EQ(box.silent(d), 0);
    write_text(d + "/config/settings.ini", "the victim's");
    for (const std::string planted : {".swap", ".old", ".new", ".lock"}) {
      const std::string path = d + planted;
      const std::string plant = planted == ".swap" || planted == ".lock"
                                    ? "printf 'Morvell installer swap journal\\n' > " + q(path)
                                    : "mkdir -p " + q(path + "/config") + " && echo planted > " + q(path + "/config/settings.ini") +
                                          " && mkdir " + q(path + "/.morvell-staging");
      ASSERT_EQ(run_shell(kSecondUser + "sh -c " + q(plant)), 0) << planted;
      const auto before = snapshot_tree(shared);
      std::string output;
      EXPECT_EQ(box.silent(d, &output), 3) << mode << planted;
      EXPECT_EQ(output, path + " 不是本安装程序为当前用户留下的，已原样保留。请检查并移走它后重试。\n") << mode << planted;
      EXPECT_TRUE(snapshot_tree(shared) == before) << mode << planted;
      run_shell("rm -rf " + q(path));
    }
    EXPECT_EQ(box.silent(d), 0);
    EXPECT_EQ(read_text(d + "/config/settings.ini"), "the victim's");
  }
}

// Run as root, an install keeps no owner and no mode stored in the package: everything belongs to
// root and nothing is writable by group or others, whichever unpacker ran.
TEST(OwnershipByProof, ThePackageBringsNoOwnersAndNoWritableModes) {
  if (getuid() != 0) GTEST_SKIP() << "restoring owners needs root";
  Box box;
  const std::string zip = box.dir / "owned.zip";
  ASSERT_TRUE(zip_owned_by_another(zip, {{"bin/", "0777", ""}, {"bin/Morvell.exe", "4777", "#!/bin/sh\n"},
                                         {"lib/data.bin", "0666", "data"}, {"config/settings.ini", "0666", "x"}}));
  const std::string setup = box.dir / "owned-setup/Morvell-Setup";
  ASSERT_EQ(run_shell("mkdir -p " + q(box.dir / "owned-setup")), 0);
  ASSERT_EQ(box.pack(zip, setup), 0);
  // Each unpacker in turn: the tools first, then (with none on the PATH) the built-in one.
  for (const std::string& path : {std::string(), std::string("PATH=/nonexistent")}) {
    const std::string d = box.dir / (path.empty() ? "tools/Morvell" : "built-in/Morvell");
    ASSERT_EQ(box.silent(d, nullptr, "", setup, "", path), 0) << path;
    EXPECT_EQ(capture_shell("find " + q(d) + " ! -uid 0 -o -perm /022 -o -perm /6000"), "") << path;
    EXPECT_EQ(capture_shell("stat -c %a " + q(d + "/bin/Morvell.exe")), "755\n") << path;
  }
}

// Inputs are regular files: a log that is a link writes nothing through it, one that is a pipe
// never holds the run. A package that brings a name the installer keeps for itself is refused
// whole. A trailer that leaves a single byte before its package still gives a whole uninstaller.
TEST(OwnershipByProof, InputsNamesAndTrailersAreTheInstallers) {
  Box box;
  const std::string d = box.dir / "Apps/Morvell";
  write_text(box.dir / "someone-elses.txt", "not a log\n");
  ASSERT_EQ(symlink((box.dir / "someone-elses.txt").c_str(), (box.dir / "link.log").c_str()), 0);
  ASSERT_EQ(run_shell("mkfifo " + q(box.dir / "pipe.log")), 0);
  for (const std::string& log : {box.dir / "link.log", box.dir / "pipe.log"}) {
    std::string output;
    EXPECT_EQ(box.silent(d, &output, "--log " + q(log)), 0) << log;
    EXPECT_NE(output.find("无法写入日志文件：" + log), std::string::npos) << output;
  }
  EXPECT_EQ(read_text(box.dir / "someone-elses.txt"), "not a log\n");
  write_text(d + "/config/settings.ini", "mine");

  const auto installed = snapshot_tree(d);
  for (const std::string own : {"Morvell-Update-Config-Backup/manifest.json", ".morvell-staging/x",
                                 "install-info.json", "Morvell-Update-Temp/bin/Morvell.exe"}) {
    const std::string src = box.out / "src";
    run_shell("rm -rf " + q(src));
    write_text(src + "/bin/Morvell.exe", "#!/bin/sh\n");
    write_text(src + "/" + own, "{\"files\": []}");
    ASSERT_TRUE(make_zip(src, box.out / "own.zip"));
    const std::string setup = box.out / "own-setup";
    ASSERT_EQ(box.pack(box.out / "own.zip", setup), 0);
    std::string output;
    EXPECT_EQ(box.silent(d, &output, "--log " + q(box.out / "own.log"), setup), 3) << own << read_text(box.out / "own.log");
    EXPECT_EQ(output, "解压安装包失败。\n") << own;
    EXPECT_TRUE(snapshot_tree(d) == installed) << own;
  }

  // "MORV-PACKAGE:1:N": the package starts one byte into the file (a zip reader finds it all the
  // same); that one byte is no program, so the uninstaller is the whole file.
  const std::string crafted = box.out / "crafted";
  const std::string body = read_text(kInstaller) + read_text(kNew);
  write_text(crafted, body + "MORV-PACKAGE:1:" + std::to_string(body.size() - 1));
  ASSERT_EQ(chmod(crafted.c_str(), 0755), 0);
  const std::string e = box.dir / "Crafted";
  ASSERT_EQ(box.silent(e, nullptr, "", crafted), 0);
  EXPECT_EQ(read_text(e + "/bin/Morvell-Uninstall.exe"), read_text(crafted));
}

// The folder around the installation cannot be written (an installation the user owns in a
// folder they do not): the message names that folder, not a running Morvell. An empty mount point
// needs no rename of itself: it is installed into in place.
TEST(OwnershipByProof, AnUnwritableParentIsNamedAndAMountPointIsInstalledInto) {
  if (getuid() != 0) GTEST_SKIP() << "a second user and a mount need root";
  Box box;
  const std::string locked = box.dir / "locked", d = locked + "/Morvell";
  // The second user's own copy of the installer, in a folder of theirs for its work folder.
  const std::string theirs = box.dir / "theirs";
  ASSERT_EQ(run_shell("mkdir -p " + q(d) + " " + q(theirs) + " && cp " + q(box.setup) + " " + q(theirs) +
                      " && chmod 755 " + q(locked) + " && chown -R 65534:65534 " + q(d) + " " + q(box.home) + " " +
                      q(theirs)), 0);
  std::string output;
  EXPECT_EQ(box.silent(d, &output, "", theirs + "/Morvell-Setup", kSecondUser), 3);
  EXPECT_EQ(output, "无法在 " + locked + " 中创建锁文件 Morvell.lock，请确认该文件夹存在且可写，或选择其他安装位置。\n");
  EXPECT_EQ(capture_shell("ls -A " + q(d)), "");

  const std::string mount_point = box.dir / "mnt";
  ASSERT_EQ(run_shell("mkdir -p " + q(mount_point)), 0);
  const int code = run_shell("unshare -m sh -c " +
                             q("mount -t tmpfs none " + q(mount_point) + " || exit 77; env -u DISPLAY HOME=" +
                               q(box.home) + " timeout 120 " + q(box.setup) + " --silent-install --no-launch --install-dir " +
                               q(mount_point) + " >/dev/null 2>&1 || exit $?; test \"$(cat " +
                               q(mount_point + "/install-info.json") + ")\" = " + q(record_of(mount_point))) +
                             " 2>/dev/null");
  if (code == 77) GTEST_SKIP() << "no file system can be mounted here";
  EXPECT_EQ(code, 0);
}
