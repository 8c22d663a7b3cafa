// The update hand-off on Windows, in process: the package is written over the installation with
// the user's configuration kept, the package is consumed, and the exit code tells the outcome.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/state.h"
#include "common/strings.h"
#include "flows/update.h"
#include "package/workdir.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/zip_writer.h"

using namespace testing_support;

namespace {

struct StateGuard {
  ~StateGuard() {
    set_work_program_path(L"");
    install_options = InstallOptions();
    update_mode = false;
    exit_code = 0;
  }
};

// A real program that ends at once, to stand as the restarted application.
std::string quick_program() {
  std::wstring self = W(self_path());
  return read_text(U(parent_path(parent_path(parent_path(self))) + L"\\wine-path\\tar.exe"));
}

}  // namespace

TEST(Win32Update, WritesThePackageOverTheInstallationKeepingTheConfiguration) {
  StateGuard guard;
  TempDir tmp;
  std::wstring d = tmp.wide() + L"\\Morvell";
  write_text(U(d + L"\\bin\\Morvell.exe"), "old app");
  write_text(U(d + L"\\config\\settings.ini"), "the user's");
  write_text(U(d + L"\\old-only.txt"), "stays");
  std::string app = quick_program();
  ASSERT_FALSE(app.empty());
  ASSERT_TRUE(write_zip(tmp / "downloads/update.zip",
                        {{"bin/Morvell.exe", app}, {"config/settings.ini", "shipped"}, {"new.txt", "new"}}));
  set_work_program_path(tmp.wide() + L"\\setup\\Morvell-Setup.exe");
  install_options.install_dir = U(d) + "\\";
  install_options.package_path = tmp / "downloads/update.zip";
  update_mode = true;
  exit_code = 77;
  EXPECT_FALSE(run_update());   // an idle callback that runs once
  EXPECT_EQ(exit_code, 0);
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), app);
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "the user's");
  EXPECT_EQ(read_text(U(d + L"\\new.txt")), "new");
  EXPECT_TRUE(exists(U(d + L"\\install-info.json")));
  EXPECT_FALSE(exists(tmp / "downloads/update.zip"));   // consumed
  EXPECT_FALSE(exists(tmp / "setup/Morvell-Installer-Temp"));
  EXPECT_FALSE(exists(U(d + L"\\Morvell-Update-Temp")));
  EXPECT_FALSE(exists(U(d + L"\\Morvell-Update-Config-Backup")));

  // A package that is not there: exit code 4, the installation untouched.
  install_options.package_path = tmp / "downloads/none.zip";
  EXPECT_FALSE(run_update());
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "the user's");
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), app);

  // A backup left by a run that could not put it back is used by the next run only where config
  // still holds what that run wrote there: a setting changed since stays.
  write_text(U(d + L"\\config\\colour.ini"), "the user's colour");
  const std::vector<std::pair<std::string, std::string>> files = {
      {"bin/Morvell.exe", app}, {"config/settings.ini", "shipped"}, {"config/colour.ini", "shipped colour"}};
  ASSERT_TRUE(write_zip(tmp / "downloads/update.zip", files));
  install_options.package_path = tmp / "downloads/update.zip";
  plat::set_fault_hook([](const char* op, const std::wstring& path) {
    return std::string(op) == "rename" && path.find(L"Morvell-Update-Config-Backup\\config\\") != std::wstring::npos;
  });
  run_update();
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(exit_code, 4);
  EXPECT_EQ(read_text(U(d + L"\\config\\colour.ini")), "shipped colour");
  EXPECT_TRUE(exists(U(d + L"\\Morvell-Update-Config-Backup\\manifest.json")));
  write_text(U(d + L"\\config\\settings.ini"), "changed since");
  ASSERT_TRUE(write_zip(tmp / "downloads/update.zip", files));
  run_update();
  EXPECT_EQ(exit_code, 0);
  EXPECT_EQ(read_text(U(d + L"\\config\\settings.ini")), "changed since");
  EXPECT_EQ(read_text(U(d + L"\\config\\colour.ini")), "the user's colour");
  EXPECT_FALSE(exists(U(d + L"\\Morvell-Update-Config-Backup")));
}
