// The installation engine on Windows: file trees with Windows paths, removal through cmd.exe,
// unpacking with the stand-in tar.exe (and the empty-destination rule when only Wine's
// do-nothing PowerShell is left), the transaction, the install record and the shortcuts.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/ui.h"
#include "common/external.h"
#include "common/filetree.h"
#include "common/messages.h"
#include "common/strings.h"
#include "install/record.h"
#include "install/shortcut.h"
#include "install/unpack.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/wine.h"
#include "support/zip_writer.h"

using namespace testing_support;

namespace {

// Takes the stand-in tar.exe off PATH for the life of the object.
struct WithoutTar {
  std::wstring saved;
  WithoutTar() {
    wchar_t buffer[32768] = {};
    GetEnvironmentVariableW(L"PATH", buffer, 32768);
    saved = buffer;
    std::wstring kept;
    size_t start = 0;
    while (start <= saved.size()) {
      size_t end = saved.find(L';', start);
      if (end == std::wstring::npos) end = saved.size();
      std::wstring part = saved.substr(start, end - start);
      if (!part.empty() && to_lower_wide(part).find(L"wine-path") == std::wstring::npos) {
        if (!kept.empty()) kept += L';';
        kept += part;
      }
      start = end + 1;
    }
    SetEnvironmentVariableW(L"PATH", kept.c_str());
  }
  ~WithoutTar() { SetEnvironmentVariableW(L"PATH", saved.c_str()); }
};

bool tar_on_path() {
  wchar_t found[MAX_PATH] = {};
  return SearchPathW(nullptr, L"tar.exe", nullptr, MAX_PATH, found, nullptr) > 0;
}

std::vector<std::pair<std::string, std::string>> package(const std::string& version) {
  return {{"bin/", ""},
          {"bin/Morvell.exe", "app " + version},
          {"config/", ""},
          {"config/settings.ini", "shipped " + version},
          {"README.txt", "readme " + version}};
}

}  // namespace

TEST(Win32Engine, FileTreesWithWindowsPaths) {
  TempDir tmp;
  std::wstring root = tmp.wide();
  EXPECT_TRUE(create_directory_tree(root + L"\\a\\b\\c"));
  EXPECT_TRUE(create_directory_tree(root + L"\\a\\b\\c"));
  write_text(tmp / "a/b/c/one.txt", "1");
  write_text(tmp / "a/two.txt", "22");
  write_text(tmp / "a/empty.txt", "");
  uint64_t files = 0, bytes = 0;
  EXPECT_TRUE(count_tree(root + L"\\a", files, bytes));
  EXPECT_EQ(files, 3u);
  EXPECT_EQ(bytes, 3u);
  EXPECT_FALSE(count_tree(root + L"\\none", files, bytes));

  write_text(tmp / "copy/two.txt", "old");
  write_text(tmp / "copy/extra.txt", "kept");
  SetFileAttributesW((root + L"\\copy\\two.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(copy_tree(root + L"\\a", root + L"\\copy", nullptr));
  EXPECT_EQ(read_text(tmp / "copy/two.txt"), "22");
  EXPECT_EQ(read_text(tmp / "copy/extra.txt"), "kept");
  EXPECT_EQ(read_text(tmp / "copy/b/c/one.txt"), "1");

  ui_trace = UiTrace();
  EXPECT_TRUE(copy_tree_with_progress(root + L"\\a", root + L"\\copy2", L"copying", 0.88, 0.94));
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.94);
  EXPECT_EQ(snapshot_tree(tmp / "copy2"), snapshot_tree(tmp / "a"));

  EXPECT_TRUE(move_tree(root + L"\\copy2", root + L"\\moved", nullptr));
  EXPECT_FALSE(exists(tmp / "copy2"));
  EXPECT_EQ(read_text(tmp / "moved/b/c/one.txt"), "1");

  write_file_bytes(root + L"\\new\\deep\\f.bin", std::string("a\0b", 3));
  EXPECT_EQ(read_text(tmp / "new/deep/f.bin"), std::string("a\0b", 3));
  remove_tree_in_process(root + L"\\moved");
  EXPECT_FALSE(exists(tmp / "moved"));
  remove_tree_in_process(root + L"\\never-there");
}

TEST(Win32Engine, RemoveTreeThroughCmd) {
  TempDir tmp;
  write_text(tmp / "Old Dir/x/y.txt", "y");
  remove_tree_with_tool(tmp.wide() + L"\\Old Dir", L"cleaning");
  EXPECT_FALSE(exists(tmp / "Old Dir"));
  remove_tree_with_tool(tmp.wide() + L"\\Old Dir", L"cleaning");   // missing: nothing started, nothing happens
  std::wstring error = L"kept";
  uint32_t code = 0;
  EXPECT_FALSE(run_and_wait(L"cmd.exe", {L"/C", L"exit", L"4"}, L"", error, &code, false));
  EXPECT_EQ(code, 4u);
  EXPECT_EQ(error, kProgramFailed);
}

TEST(Win32Engine, ExtractWithTarAndTheEmptyDestinationRule) {
  TempDir tmp;
  ASSERT_TRUE(write_zip(tmp / "pkg.zip", package("6.1.17")));
  ASSERT_TRUE(tar_on_path()) << "the stand-in tar.exe is expected on PATH (WINEPATH)";
  std::wstring error;
  ASSERT_TRUE(extract_archive(tmp.wide() + L"\\pkg.zip", tmp.wide() + L"\\out", error));
  EXPECT_EQ(read_text(tmp / "out/bin/Morvell.exe"), "app 6.1.17");
  EXPECT_EQ(read_text(tmp / "out/config/settings.ini"), "shipped 6.1.17");

  if (!running_under_wine()) GTEST_SKIP() << "the rest relies on Wine's do-nothing PowerShell";
  // Without tar, Wine's PowerShell exits 0 having unpacked nothing and its shell cannot open
  // zips: an empty destination is no success, and the last method's message is reported.
  WithoutTar no_tar;
  ASSERT_FALSE(tar_on_path());
  error.clear();
  EXPECT_FALSE(extract_archive(tmp.wide() + L"\\pkg.zip", tmp.wide() + L"\\empty", error));
  EXPECT_FALSE(error.empty());
  uint64_t files = 0, bytes = 0;
  count_tree(tmp.wide() + L"\\empty", files, bytes);
  EXPECT_EQ(files, 0u);
}

TEST(Win32Engine, InstallRecordAndShortcutFiles) {
  TempDir tmp;
  std::wstring d = tmp.wide() + L"\\\u5B89\u88C5 Morvell";
  write_install_record(d);
  std::string escaped;
  for (char c : U(d)) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  const std::string expected = "{\n  \"app_exe\": \"bin/Morvell.exe\",\n  \"install_dir\": \"" + escaped +
                               "\",\n  \"uninstaller\": \"bin/Morvell-Uninstall.exe\",\n  \"version\": \"6.1.17\"\n}";
  EXPECT_EQ(read_text(U(d + L"\\install-info.json")), expected);
  EXPECT_EQ(install_record_text(d), expected);
  EXPECT_TRUE(read_text(U(d + L"\\bin\\Morvell-Uninstall.exe")) == read_text(self_path()));

  std::wstring folder = tmp.wide() + L"\\Menu\\Morvell";
  create_shortcut(d + L"\\bin\\Morvell-Uninstall.exe", folder + L"\\\u5378\u8F7D Morvell.lnk", d + L"\\bin",
                  L"--uninstall");
  EXPECT_TRUE(exists(U(folder + L"\\\u5378\u8F7D Morvell.lnk")));
}
