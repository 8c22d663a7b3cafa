// The removal script that the uninstaller leaves behind: its text, and that no character of a
// path can change what it does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

// Paths here hold quotes, so no shell is used to make them.
static void put(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

TEST(RemovalScript, TextWaitsRemovesInstallationThenWorkDirectory) {
  EXPECT_EQ(std::wstring(plat::kRemovalScriptName), L"morv-uninstall.sh");
  EXPECT_EQ(plat::removal_script_text(L"/opt/Morvell", L"/opt/Morvell/bin/Morvell-Installer-Temp"),
            "#!/bin/sh\n"
            "sleep 2\n"
            "rm -rf -- '/opt/Morvell'\n"
            "cd \"${TMPDIR:-/tmp}\" 2>/dev/null || cd /tmp\n"
            "rm -rf -- '/opt/Morvell/bin/Morvell-Installer-Temp'\n");
  EXPECT_EQ(plat::removal_script_text(L"/a'b", L"/w"),
            "#!/bin/sh\nsleep 2\nrm -rf -- '/a'\\''b'\ncd \"${TMPDIR:-/tmp}\" 2>/dev/null || cd /tmp\nrm -rf -- '/w'\n");
}

TEST(RemovalScript, HostilePathsAreRemovedExactlyAndNothingElse) {
  TempDir dir;
  // Quotes, $, backticks, a command separator, a newline, a leading dash and Chinese text.
  const std::string name = "-安装 'it' \"q\" $HOME `touch pwned` ; touch pwned2\nline";
  const std::string install = dir / name;
  const std::string work = install + "/bin/Morvell-Installer-Temp";
  put(install + "/bin/Morvell.exe", "app");
  put(work + "/morv-uninstall.sh", "");
  put(dir / "-安装 'it' \"q\" sibling/keep.txt", "keep");
  put(dir / "tmp/keep.txt", "keep");
  std::string script = dir / "run/morv-uninstall.sh";
  put(script, plat::removal_script_text(W(install), W(work)));

  std::string old_tmp = plat::environment_value("TMPDIR");
  setenv("TMPDIR", (dir / "tmp").c_str(), 1);
  uint32_t start = plat::tick_ms();
  ASSERT_TRUE(plat::run_script_detached(W(script)));
  EXPECT_LT(plat::tick_ms() - start, 1500u);   // not awaited: it sleeps 2 s first
  if (old_tmp.empty())
    unsetenv("TMPDIR");
  else
    setenv("TMPDIR", old_tmp.c_str(), 1);
  EXPECT_TRUE(exists(install));   // still within its 2 s wait
  for (int i = 0; i < 200 && exists(install); ++i) plat::sleep_ms(50);
  EXPECT_FALSE(exists(install));
  EXPECT_TRUE(exists(dir / "-安装 'it' \"q\" sibling/keep.txt"));
  EXPECT_TRUE(exists(dir / "tmp/keep.txt"));
  EXPECT_FALSE(exists("pwned"));
  EXPECT_FALSE(exists("pwned2"));
  EXPECT_FALSE(exists(dir / "pwned"));
}
