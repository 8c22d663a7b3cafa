// A package, a previous installation with a user's configuration and a private home, for the
// installation transaction tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <map>
#include <set>
#include <string>

#include "common/strings.h"
#include "install/messages.h"
#include "install/ownership.h"
#include "install/record.h"
#include "install/swap_journal.h"
#include "install/transaction.h"
#include "platform/platform.h"
#include "support/helpers.h"

namespace transaction_scene {

using namespace testing_support;

inline const std::wstring kStep8 = kBackupFailed;
inline const std::wstring kStep9 = kWriteFailed;
inline const std::wstring kStep10 = kCarryFailed;

inline bool designed_failure(const std::wstring& error) {
  static const std::set<std::wstring> texts = {
      kCannotCloseRunning, kPackageEmpty, kUnpackFailed,
      kUnpackerInitFailed, kCannotOpenPackage, kCannotOpenInstallDir, kUnpackTimedOut,
      kProgramMissing, kRecordFailed,
      kStep8, kStep9, kStep10};
  // The installation's lock could not be made beside it: the message names the folder.
  return texts.count(error) != 0 || error.rfind(L"无法在 ", 0) == 0;
}

struct EnvGuard {
  std::map<std::string, std::string> saved;
  explicit EnvGuard(std::initializer_list<const char*> names) {
    for (const char* name : names) saved[name] = plat::environment_value(name);
  }
  ~EnvGuard() {
    for (const auto& item : saved) {
      if (item.second.empty()) unsetenv(item.first.c_str());
      else setenv(item.first.c_str(), item.second.c_str(), 1);
    }
  }
};

// A package (6.1.17), a previous installation with a user's configuration, and a private home.
struct Scene {
  TempDir tmp;
  EnvGuard env{"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "MORVELL_TEST_LAUNCH_LOG"};
  std::string home = tmp / "home";
  std::string package = tmp / "Morvell-6.1.17.zip";
  std::string old_tree = tmp / "old-install";
  std::string dir = tmp / "Apps/Morvell 墨韵";

  Scene() {
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    unsetenv("MORVELL_TEST_LAUNCH_LOG");
    const std::string src = tmp / "package-src";
    write_text(src + "/bin/Morvell.exe",
               "#!/bin/sh\n[ -n \"$MORVELL_TEST_LAUNCH_LOG\" ] && pwd >> \"$MORVELL_TEST_LAUNCH_LOG\"\nexit 0\n");
    run_shell("chmod 755 '" + src + "/bin/Morvell.exe'");
    for (int i = 0; i < 60; ++i) write_text(src + "/lib/part" + std::to_string(i) + ".dat", std::string(2000 + i, 'n'));
    write_text(src + "/readme.txt", "Morvell 6.1.17");
    write_text(src + "/config/settings.ini", "shipped default");
    write_text(src + "/config/package-only.ini", "shipped only");
    EXPECT_TRUE(make_zip(src, package));

    write_text(old_tree + "/bin/Morvell.exe", "#!/bin/sh\nexit 0\n");
    write_text(old_tree + "/readme.txt", "Morvell 6.1.16");
    write_text(old_tree + "/old-only.txt", "goes away");
    write_text(old_tree + "/config/settings.ini", "user setting");
    write_text(old_tree + "/config/sub/user.txt", "mine");
    write_text(old_tree + "/config/empty.cfg", "");
    for (int i = 0; i < 20; ++i) write_text(old_tree + "/config/many/" + std::to_string(i) + ".cfg", "user " + std::to_string(i));
    run_shell("mkdir -p '" + tmp / "Apps" + "'");
  }

  std::wstring D() const { return W(dir); }
  // The previous installation at `where`, with the record of an installation at `recorded`.
  void put_old_install(const std::string& where, const std::string& recorded = "") const {
    run_shell("rm -rf '" + where + "' && cp -a '" + old_tree + "' '" + where + "'");
    write_text(where + "/install-info.json", install_record_text(W(recorded.empty() ? where : recorded), "6.1.16"));
  }
  void reset() const {
    run_shell("rm -rf '" + dir + "' '" + dir + ".new' '" + dir + ".old' '" + dir + ".swap'");
    put_old_install(dir);
  }
  bool install(std::wstring& error, bool shortcuts = false, bool launch = false) const {
    return install_package(W(package), D(), InstallOptions::choosing(shortcuts, shortcuts, launch), error);
  }

  // The new version with the user's configuration merged in.
  ::testing::AssertionResult new_with_user_config() const {
    auto snap = snapshot_tree(dir);
    if (snap["readme.txt"] != "Morvell 6.1.17") return ::testing::AssertionFailure() << "not the new version";
    if (snap.count("old-only.txt")) return ::testing::AssertionFailure() << "old file survived";
    if (snap["lib/part59.dat"].size() != 2059) return ::testing::AssertionFailure() << "package incomplete";
    if (snap["config/settings.ini"] != "user setting") return ::testing::AssertionFailure() << "user setting lost";
    if (snap["config/package-only.ini"] != "shipped only") return ::testing::AssertionFailure() << "package config lost";
    if (snap["config/sub/user.txt"] != "mine" || !snap.count("config/empty.cfg"))
      return ::testing::AssertionFailure() << "user files lost";
    for (int i = 0; i < 20; ++i)
      if (snap["config/many/" + std::to_string(i) + ".cfg"] != "user " + std::to_string(i))
        return ::testing::AssertionFailure() << "user file " << i << " lost";
    return ::testing::AssertionSuccess();
  }
  bool no_leftovers() const {
    return !exists(dir + ".new") && !exists(dir + ".old") && !exists(dir + ".swap") && !exists(dir + ".lock");
  }
  // The journal of a swap, as the installer writes it: the backup holds the previous installation
  // and D the new tree.
  void write_journal() const { write_text(dir + ".swap", swap_journal_text(W(dir + ".old"), D())); }
};


}  // namespace transaction_scene
