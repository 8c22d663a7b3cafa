// Shell links read back through the ShellLink object, SHA-256 through CryptoAPI, the uninstall
// script's bytes and its run, and the shell's zip folders.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/strings.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/shell_links.h"
#include "support/wine.h"
#include "support/zip_writer.h"

using namespace testing_support;

namespace {

std::string hex_digest(const std::string& data, size_t piece) {
  plat::Sha256* digest = plat::sha256_begin();
  if (!digest) return "unavailable";
  for (size_t at = 0; at < data.size(); at += piece)
    if (!plat::sha256_add(digest, data.data() + at, std::min(piece, data.size() - at))) {
      plat::sha256_discard(digest);
      return "failed";
    }
  unsigned char out[32];
  if (!plat::sha256_finish(digest, out)) return "failed";
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (unsigned char b : out) {
    text.push_back(digits[b >> 4]);
    text.push_back(digits[b & 15]);
  }
  return text;
}

}  // namespace

TEST(Win32Shortcuts, WrittenAndReadBack) {
  EXPECT_EQ(std::wstring(plat::kShortcutExtension), L".lnk");
  TempDir tmp;
  write_text(tmp / "D/bin/Morvell.exe", "app");
  write_text(tmp / "D/bin/Morvell-Uninstall.exe", "uninstaller");
  std::wstring bin = tmp.wide() + L"\\D\\bin";
  // The start-menu folder does not exist yet: it is made for the link.
  std::wstring folder = tmp.wide() + L"\\Start Menu\\Programs\\Morvell";
  std::wstring link = folder + L"\\\u5378\u8F7D Morvell.lnk";
  ASSERT_TRUE(plat::write_shortcut(bin + L"\\Morvell-Uninstall.exe", link, bin, L"--uninstall", L"Morvell"));
  LinkFields fields;
  ASSERT_TRUE(read_link(link, fields));
  EXPECT_EQ(to_lower_wide(fields.path), to_lower_wide(bin + L"\\Morvell-Uninstall.exe"));
  EXPECT_EQ(fields.arguments, L"--uninstall");
  EXPECT_EQ(to_lower_wide(fields.directory), to_lower_wide(bin));
  EXPECT_EQ(fields.description, L"Morvell");

  // Written again over itself, now without arguments: replaced, not appended to.
  ASSERT_TRUE(plat::write_shortcut(bin + L"\\Morvell.exe", link, bin, L"", L"Morvell"));
  ASSERT_TRUE(read_link(link, fields));
  EXPECT_EQ(to_lower_wide(fields.path), to_lower_wide(bin + L"\\Morvell.exe"));
  EXPECT_EQ(fields.arguments, L"");
}

TEST(Win32Sha256, KnownDigestsInAnyPieces) {
  EXPECT_EQ(hex_digest("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex_digest("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string million(1000000, 'a');
  const std::string expected = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  EXPECT_EQ(hex_digest(million, 65536), expected);
  EXPECT_EQ(hex_digest(million, 1000000), expected);
  EXPECT_EQ(hex_digest(million, 999), expected);
  plat::sha256_discard(plat::sha256_begin());   // released without a result
  EXPECT_FALSE(plat::sha256_add(nullptr, "x", 1));
}

TEST(Win32RemovalScript, BytesAsDesignedWithCrLf) {
  EXPECT_EQ(std::wstring(plat::kRemovalScriptName), L"morv-uninstall.cmd");
  // The folders travel in the environment: the script holds no byte of a path, whatever it is.
  const std::string expected =
      "@echo off\r\nsetlocal EnableDelayedExpansion\r\ntimeout /t 2 /nobreak >nul\r\n"
      "if not exist \"!MORVELL_INSTALL_DIR!\\!MORVELL_UNINSTALL_MARK!\" exit /b 0\r\n"
      "rmdir /s /q \"!MORVELL_INSTALL_DIR!\"\r\ncd /d \"%TEMP%\"\r\nrmdir /s /q \"!MORVELL_WORK_DIR!\"\r\n";
  std::wstring install = L"C:\\Users\\\u5F20\u4E09\\Morvell Apps";
  EXPECT_EQ(plat::removal_script_text(install, install + L"\\bin\\Morvell-Installer-Temp", L".m1"), expected);
  EXPECT_EQ(plat::removal_script_text(L"C:\\100%\\M", L"C:\\100%\\M\\T", L".m2"), expected);
}

TEST(Win32RemovalScript, RunsHiddenAndRemovesTheInstallation) {
  TempDir tmp;
  // A Chinese account name, a blank and a "%": the interpreter must read every byte of the path.
  std::wstring install = tmp.wide() + L"\\\u5F20\u4E09 Morvell 100% & Co";
  // Wine's cmd keeps the running script open, so neither the folder that holds it nor an
  // ancestor can go while it runs (Windows' cmd reopens it per line): under Wine the work
  // folder lies beside the installation, where an installed uninstaller's never does.
  bool wine = running_under_wine();
  std::wstring work = wine ? tmp.wide() + L"\\Morvell-Installer-Temp" : install + L"\\bin\\Morvell-Installer-Temp";
  write_text(U(install + L"\\bin\\Morvell.exe"), "app");
  write_text(U(install + L"\\config\\settings.ini"), "settings");
  write_text(U(tmp.wide() + L"\\\u5F20\u4E09 Morvell 100"), "a sibling that a lost % would have named");
  std::wstring script = work + L"\\" + plat::kRemovalScriptName;
  write_text(U(install + L"\\.morvell-uninstall-1"), "");
  write_text(U(script), plat::removal_script_text(install, work, L".morvell-uninstall-1"));
  ASSERT_TRUE(plat::run_script_detached(script, install, work, L".morvell-uninstall-1"));
  for (int i = 0; i < 300 && (exists(U(install)) || (!wine && exists(U(work)))); ++i) Sleep(50);
  EXPECT_FALSE(exists(U(install)));
  if (!wine) {
    EXPECT_FALSE(exists(U(work)));
  }
  EXPECT_EQ(read_text(U(tmp.wide() + L"\\\u5F20\u4E09 Morvell 100")), "a sibling that a lost % would have named");
}

TEST(Win32Unpack, ShellZipFoldersCopyThePackage) {
  if (running_under_wine()) GTEST_SKIP() << "Wine's Shell.Application cannot open a zip as a folder";
  TempDir tmp;
  ASSERT_TRUE(write_zip(tmp / "p.zip", {{"bin/", ""}, {"bin/Morvell.exe", "app"}, {"config/a.ini", "x=1"}}));
  CreateDirectoryW((tmp.wide() + L"\\out").c_str(), nullptr);
  int polls = 0;
  EXPECT_EQ(plat::unpack_in_process(tmp.wide() + L"\\p.zip", tmp.wide() + L"\\out", [&] { ++polls; }),
            plat::UnpackResult::Ok);
  EXPECT_EQ(read_text(tmp / "out/bin/Morvell.exe"), "app");
  EXPECT_EQ(read_text(tmp / "out/config/a.ini"), "x=1");
  EXPECT_GT(polls, 0);
  EXPECT_EQ(plat::unpack_in_process(tmp.wide() + L"\\none.zip", tmp.wide() + L"\\out", nullptr),
            plat::UnpackResult::PackageUnreadable);
}

TEST(Win32Unpack, PowerShellExpandArchive) {
  if (running_under_wine()) GTEST_SKIP() << "Wine's powershell.exe is a stub that exits 0 and unpacks nothing";
  TempDir tmp;
  ASSERT_TRUE(write_zip(tmp / "it's here.zip", {{"bin/Morvell.exe", "app"}, {"config/a.ini", "x=1"}}));
  std::wstring program;
  std::vector<std::wstring> arguments;
  ASSERT_TRUE(plat::archive_tool_command(2, W(tmp / "it's here.zip"), tmp.wide() + L"\\out", program, arguments));
  plat::ProcessHandle process = plat::kNoProcess;
  ASSERT_TRUE(plat::start_process(program, arguments, false, process));
  uint32_t code = 77;
  ASSERT_EQ(plat::wait_process(process, 120000, code), plat::WaitResult::Exited);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(read_text(tmp / "out/bin/Morvell.exe"), "app");
}
