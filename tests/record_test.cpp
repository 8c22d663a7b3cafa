// The install record: install-info.json byte for byte against golden files, and the
// uninstaller copy that goes with it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "common/state.h"
#include "install/record.h"
#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

std::string golden(const std::string& name) {
  return read_text(std::string(MORVELL_SOURCE_DIR) + "/tests/golden/" + name);
}

bool owner_executable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IXUSR);
}

}  // namespace

TEST(InstallRecord, TextIsByteExact) {
  const std::string ascii = golden("install-info-ascii.json");
  ASSERT_FALSE(ascii.empty());
  EXPECT_EQ(install_record_text(L"/opt/Morvell Apps/Morvell"), ascii);
  EXPECT_NE(ascii.back(), '\n');

  // Chinese characters go out as raw UTF-8, never as \u escapes.
  const std::string chinese = golden("install-info-chinese.json");
  ASSERT_FALSE(chinese.empty());
  EXPECT_EQ(install_record_text(W("/home/用户/应用/墨韵 Morvell")), chinese);
  EXPECT_EQ(chinese.find("\\u"), std::string::npos);

  // Every backslash of the directory is written as two.
  EXPECT_EQ(install_record_text(L"C:\\Apps\\Morvell"), golden("install-info-backslashes.json"));

  // Quotes and control characters are escaped as JSON wants; "/" is not.
  const std::string odd = install_record_text(L"/a\"b\tc/d");
  EXPECT_NE(odd.find("\"install_dir\": \"/a\\\"b\\tc/d\",\n"), std::string::npos);
  EXPECT_EQ(odd.substr(0, 2), "{\n");
  EXPECT_EQ(odd.substr(odd.size() - 2), "\n}");

  // The version is the release an online install chose; an offline install and an update
  // record the release the installer carries.
  struct Restore {
    RunMode mode = run_mode;
    ~Restore() {
      run_mode = mode;
      release_catalogue = ReleaseCatalogue();
    }
  } restore;
  release_catalogue.entries.resize(2);
  release_catalogue.entries[0].version = "6.1.17";
  release_catalogue.entries[1].version = "6.1.16";
  release_catalogue.selected = 1;
  run_mode = RunMode::Online;
  EXPECT_NE(install_record_text(L"/opt/M").find("\"version\": \"6.1.16\"\n}"), std::string::npos);
  run_mode = RunMode::Update;
  EXPECT_EQ(installed_version(), "6.1.17");
  run_mode = RunMode::Offline;
  EXPECT_EQ(installed_version(), "6.1.17");
  run_mode = RunMode::Online;
  release_catalogue.selected = 2;   // outside the list
  EXPECT_EQ(installed_version(), "6.1.17");
}

TEST(InstallRecord, WritesUninstallerAndRecord) {
  TempDir tmp;
  const std::string dir = tmp / "安装 目录";
  write_install_record(W(dir));
  EXPECT_EQ(read_text(dir + "/install-info.json"), install_record_text(W(dir)));
  EXPECT_TRUE(read_text(dir + "/bin/Morvell-Uninstall.exe") == read_text(self_path()));
  EXPECT_TRUE(owner_executable(dir + "/bin/Morvell-Uninstall.exe"));

  // An existing read-only uninstaller and record are replaced.
  write_text(dir + "/bin/Morvell-Uninstall.exe", "old");
  chmod((dir + "/bin/Morvell-Uninstall.exe").c_str(), 0444);
  write_text(dir + "/install-info.json", "old record");
  write_install_record(W(dir));
  EXPECT_TRUE(read_text(dir + "/bin/Morvell-Uninstall.exe") == read_text(self_path()));
  EXPECT_EQ(read_text(dir + "/install-info.json"), install_record_text(W(dir)));

  // An uninstaller that cannot be copied: no record is written or replaced.
  write_text(dir + "/install-info.json", "untouched");
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "copy_file"; });
  write_install_record(W(dir));
  write_install_record(W(tmp / "fresh"));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(read_text(dir + "/install-info.json"), "untouched");
  EXPECT_FALSE(exists(tmp / "fresh/install-info.json"));

  // A record that cannot be created leaves nothing behind and says nothing.
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "create_for_writing"; });
  write_install_record(W(tmp / "other"));
  plat::set_fault_hook(nullptr);
  EXPECT_TRUE(exists(tmp / "other/bin/Morvell-Uninstall.exe"));
  EXPECT_FALSE(exists(tmp / "other/install-info.json"));
  EXPECT_FALSE(exists(tmp / "other/install-info.json.partial"));

  // Both files take their place only by a rename once whole: when that fails, the earlier
  // uninstaller and record stay as they were and no partial copy is left.
  write_text(dir + "/bin/Morvell-Uninstall.exe", "old");
  write_text(dir + "/install-info.json", "old record");
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "rename"; });
  write_install_record(W(dir));
  plat::set_fault_hook([](const char* op, const std::wstring& path) {
    return std::string(op) == "rename" && U(path).find(".json.partial") != std::string::npos;
  });
  write_install_record(W(tmp / "third"));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(read_text(dir + "/bin/Morvell-Uninstall.exe"), "old");
  EXPECT_EQ(read_text(dir + "/install-info.json"), "old record");
  EXPECT_EQ(snapshot_tree(dir + "/bin").size(), 1u);
  EXPECT_TRUE(read_text(tmp / "third/bin/Morvell-Uninstall.exe") == read_text(self_path()));
  EXPECT_FALSE(exists(tmp / "third/install-info.json"));
  EXPECT_FALSE(exists(tmp / "third/install-info.json.partial"));

  // A "bin" that is a link to a folder elsewhere: nothing is written through it.
  const std::string elsewhere = tmp / "elsewhere", linked = tmp / "linked";
  write_text(elsewhere + "/keep.txt", "theirs");
  ASSERT_EQ(run_shell("mkdir -p '" + linked + "' && ln -s '" + elsewhere + "' '" + linked + "/bin'"), 0);
  EXPECT_FALSE(write_install_record(W(linked)));
  EXPECT_EQ(capture_shell("ls -A '" + elsewhere + "'"), "keep.txt\n");
  EXPECT_FALSE(exists(linked + "/install-info.json"));
}

// Run by the next test inside a copy of this program placed as the installation's uninstaller.
TEST(InstallRecord, ChildRunningAsTheUninstaller) {
  const std::string dir = plat::environment_value("MORVELL_RECORD_CHILD_DIR");
  if (dir.empty()) GTEST_SKIP() << "only run as a child";
  // Any copy attempt fails here, so a written record proves that no copy was tried.
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "copy_file"; });
  write_install_record(W(dir));
  plat::set_fault_hook(nullptr);
}

TEST(InstallRecord, RunningAsTheUninstallerWritesWithoutCopying) {
  TempDir tmp;
  const std::string dir = tmp / "D";
  const std::string copy = dir + "/bin/Morvell-Uninstall.exe";
  ASSERT_EQ(run_shell("mkdir -p '" + dir + "/bin' && cp '" + self_path() + "' '" + copy + "'"), 0);
  ASSERT_EQ(run_shell("MORVELL_RECORD_CHILD_DIR='" + dir + "' '" + copy +
                      "' --gtest_filter=InstallRecord.ChildRunningAsTheUninstaller >/dev/null 2>&1"),
            0);
  EXPECT_EQ(read_text(dir + "/install-info.json"), install_record_text(W(dir)));
  EXPECT_TRUE(read_text(copy) == read_text(self_path()));
}
