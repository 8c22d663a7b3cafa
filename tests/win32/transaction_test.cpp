// The installation transaction on Windows: staging, swap, configuration carried over, record,
// shortcuts in the prefix's shell folders, and a package that cannot be unpacked.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/filetree.h"
#include "common/strings.h"
#include "install/messages.h"
#include "install/record.h"
#include "install/transaction.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/wine.h"
#include "support/zip_writer.h"

using namespace testing_support;

namespace {

std::vector<std::pair<std::string, std::string>> package(const std::string& version) {
  return {{"bin/", ""},
          {"bin/Morvell.exe", "app " + version},
          {"config/", ""},
          {"config/settings.ini", "shipped " + version},
          {"README.txt", "readme " + version}};
}

}  // namespace

TEST(Win32Transaction, InstallReinstallAndRefusedPackage) {
  TempDir tmp;
  std::wstring d = tmp.wide() + L"\\\u5B89\u88C5 Morvell";
  ASSERT_TRUE(write_zip(tmp / "old.zip", package("6.1.16")));
  ASSERT_TRUE(write_zip(tmp / "new.zip", package("6.1.17")));
  std::wstring error;
  ASSERT_TRUE(install_package(tmp.wide() + L"\\old.zip", d, InstallOptions::choosing(true, true, false), error)) << U(error);
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), "app 6.1.16");
  write_text(U(d + L"\\config\\settings.ini"), "user's own");
  write_text(U(d + L"\\config\\extra.ini"), "also the user's");

  ASSERT_TRUE(install_package(tmp.wide() + L"\\new.zip", d, InstallOptions::choosing(true, true, false), error)) << U(error);
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), "app 6.1.17");
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "user's own");
  EXPECT_EQ(read_text(U(d + L"\\config\\extra.ini")), "also the user's");
  EXPECT_FALSE(exists(U(d + L".old")));
  EXPECT_FALSE(exists(U(d + L".new")));

  // The record: exact bytes, backslashes doubled, Chinese as raw UTF-8, no final line feed.
  std::string expected = "{\n  \"app_exe\": \"bin/Morvell.exe\",\n  \"install_dir\": \"" + tmp.path();
  std::string escaped;
  for (char c : U(d)) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  expected = "{\n  \"app_exe\": \"bin/Morvell.exe\",\n  \"install_dir\": \"" + escaped +
             "\",\n  \"uninstaller\": \"bin/Morvell-Uninstall.exe\",\n  \"version\": \"6.1.17\"\n}";
  EXPECT_EQ(read_text(U(d + L"\\install-info.json")), expected);
  EXPECT_EQ(install_record_text(d), expected);
  EXPECT_TRUE(read_text(U(d + L"\\bin\\Morvell-Uninstall.exe")) == read_text(self_path()));

  // The shortcuts lie in the prefix's own shell folders.
  std::wstring desktop = plat::shell_folder(plat::kFolderDesktop);
  std::wstring programs = plat::shell_folder(plat::kFolderPrograms);
  EXPECT_TRUE(exists(U(desktop + L"\\Morvell.lnk")));
  EXPECT_TRUE(exists(U(programs + L"\\Morvell\\Morvell.lnk")));
  EXPECT_TRUE(exists(U(programs + L"\\Morvell\\\u5378\u8F7D Morvell.lnk")));
  DeleteFileW((desktop + L"\\Morvell.lnk").c_str());
  remove_tree_in_process(programs + L"\\Morvell");

  // A package that cannot be unpacked leaves the installation as it was.
  write_text(tmp / "broken.zip", "not a zip");
  EXPECT_FALSE(install_package(tmp.wide() + L"\\broken.zip", d, InstallOptions::choosing(false, false, false), error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), "app 6.1.17");
  EXPECT_FALSE(exists(U(d + L".new")));

  // A config that is a file of the user's is kept under a clear name and carried along.
  remove_tree_in_process(d + L"\\config");
  write_text(U(d + L"\\config"), "my own notes");
  ASSERT_TRUE(install_package(tmp.wide() + L"\\new.zip", d, InstallOptions::choosing(false, false, false), error)) << U(error);
  EXPECT_EQ(read_text(U(d + L"\\config.user-file")), "my own notes");
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "shipped 6.1.17");
  EXPECT_FALSE(exists(U(d + L".old")));

  // Another run holds the installation (its lock file beside it): refused after the wait.
  plat::FileHandle held = plat::kNoFile;
  ASSERT_EQ(plat::try_lock_file(d + L".lock", held), plat::LockResult::Taken);
  plat::FileHandle second = plat::kNoFile;
  EXPECT_EQ(plat::try_lock_file(d + L".lock", second), plat::LockResult::Busy);
  EXPECT_FALSE(install_package(tmp.wide() + L"\\new.zip", d, InstallOptions::choosing(false, false, false), error));
  EXPECT_EQ(error, kInstallationBusy);
  plat::unlock_file(held, d + L".lock");
  EXPECT_FALSE(exists(U(d + L".lock")));
  ASSERT_TRUE(install_package(tmp.wide() + L"\\new.zip", d, InstallOptions::choosing(false, false, false), error)) << U(error);
  EXPECT_FALSE(exists(U(d + L".lock")));

  // A folder of the user's is no place to install: refused, every file kept.
  const std::wstring documents = tmp.wide() + L"\\Documents";
  write_text(U(documents + L"\\thesis.txt"), "years of work");
  EXPECT_FALSE(install_package(tmp.wide() + L"\\new.zip", documents, InstallOptions::choosing(false, false, false), error));
  EXPECT_EQ(error, kNotAnInstallation);
  EXPECT_EQ(read_text(U(documents + L"\\thesis.txt")), "years of work");
  EXPECT_FALSE(exists(U(documents + L"\\bin")));
}

TEST(Win32Transaction, InstallationHeldOpenIsLeftAlone) {
  TempDir tmp;
  std::wstring d = tmp.wide() + L"\\Morvell";
  ASSERT_TRUE(write_zip(tmp / "old.zip", package("6.1.16")));
  ASSERT_TRUE(write_zip(tmp / "new.zip", package("6.1.17")));
  std::wstring error;
  ASSERT_TRUE(install_package(tmp.wide() + L"\\old.zip", d, InstallOptions::choosing(false, false, false), error)) << U(error);
  // Another program has a file of the installation open (without delete sharing).
  HANDLE held = CreateFileW((d + L"\\README.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  bool ok = install_package(tmp.wide() + L"\\new.zip", d, InstallOptions::choosing(false, false, false), error);
  CloseHandle(held);
  if (ok && testing_support::running_under_wine())
    GTEST_SKIP() << "Wine lets a folder be renamed while a file in it is open";
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, kBackupFailed);
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), "app 6.1.16");
  EXPECT_FALSE(exists(U(d + L".new")));
  EXPECT_FALSE(exists(U(d + L".old")));
}
