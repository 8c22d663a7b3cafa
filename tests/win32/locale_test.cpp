// A Chinese system (code page 936): the desktop shortcut the installer writes for an installation
// under a Chinese user name stores its path as every program of that system reads it, and a
// program that knows nothing of Unicode (start.exe, no manifest) opens it. scripts/test-windows
// runs this group with LANG=zh_CN.UTF-8, which gives Wine's processes that code page.
#include <gtest/gtest.h>
#include <windows.h>

#include <cwctype>

#include "common/strings.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/installer_runs.h"
#include "support/user_folder.h"
#include "support/zip_writer.h"

using namespace testing_support;

namespace {

uint32_t le32(const std::string& bytes, size_t at) {
  if (at + 4 > bytes.size()) return 0;
  return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8 | uint32_t(uint8_t(bytes[at + 2])) << 16 |
         uint32_t(uint8_t(bytes[at + 3])) << 24;
}

// The target path a shell link's LinkInfo gives (its local base path, in the system's code page,
// or its Unicode form where the writer added one); empty when the link has none.
std::wstring link_info_path(const std::string& link) {
  const uint32_t flags = le32(link, 0x14);
  size_t at = 0x4c;
  if (flags & 0x1) at += 2 + (uint8_t(link[at]) | uint8_t(link[at + 1]) << 8);   // the item list
  if (!(flags & 0x2) || at + 0x1c > link.size()) return L"";
  const uint32_t header = le32(link, at + 4), base = le32(link, at + 0x10);
  if (header >= 0x24) {
    const uint32_t unicode = le32(link, at + 0x1c);
    if (unicode && at + unicode < link.size())
      return std::wstring(reinterpret_cast<const wchar_t*>(link.data() + at + unicode)).c_str();
  }
  if (!base || at + base >= link.size()) return L"";
  const std::string ansi(link.c_str() + at + base);
  const int size = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring path(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &path[0], size);
  return path;
}

std::wstring lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

}  // namespace

TEST(Win32ChineseSystem, TheDesktopShortcutOfAChineseUserOpensFromStart) {
  if (GetACP() != 936)
    GTEST_SKIP() << "needs the Chinese code page 936 (scripts/test-windows runs this group with LANG=zh_CN.UTF-8)";
  TempDir tmp;
  // The application: this test program, which logs its start when it is run as Morvell.exe.
  ASSERT_TRUE(write_zip(tmp / "pkg.zip", {{"bin/Morvell.exe", read_text(self_path())}}));
  const std::wstring setup = tmp.wide() + L"\\Morvell-Setup.exe";
  write_text(U(setup), offline_installer(read_text(tmp / "pkg.zip")));
  ChineseUserFolder programs(L"Programs");
  const std::wstring d = programs.path() + L"\\Morvell";
  const std::wstring link = plat::shell_folder(plat::kFolderDesktop) + L"\\Morvell.lnk";
  DeleteFileW(link.c_str());
  const std::wstring log = tmp.wide() + L"\\install.log";
  ASSERT_EQ(run_and_wait(setup, L"--silent-install --no-launch --no-start-menu-shortcut --install-dir " + plat::quote_argument(d) +
                                    L" --log " + plat::quote_argument(log)),
            0)
      << read_text(U(log));
  const std::string bytes = read_text(U(link));
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(lower(link_info_path(bytes)), lower(d + L"\\bin\\Morvell.exe"));

  const std::wstring started = tmp.wide() + L"\\started.log";
  SetEnvironmentVariableW(L"MORVELL_FAKE_APP_LOG", started.c_str());
  EXPECT_EQ(run_and_wait(L"start.exe", L"/wait " + plat::quote_argument(link)), 0);
  SetEnvironmentVariableW(L"MORVELL_FAKE_APP_LOG", nullptr);
  EXPECT_TRUE(wait_until(30000, [&] { return !read_text(U(started)).empty(); }));
  DeleteFileW(link.c_str());
}
