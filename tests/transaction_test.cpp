// The installation transaction on real trees: first installs, reinstalls over a user's
// configuration, leftovers of interrupted runs, rollbacks that cannot be done, shell folders
// that cannot be used.
#include <gtest/gtest.h>

#include <string>

#include "app/ui.h"
#include "install/config_backup.h"
#include "install/messages.h"
#include "install/record.h"
#include "install/rollback.h"
#include "install/settle.h"
#include "support/leftover_backup.h"
#include "transaction_scene.h"

using namespace transaction_scene;

TEST(Transaction, FirstInstallShortcutsRecordAndLaunch) {
  Scene scene;
  const std::string log = scene.tmp / "launch.log";
  setenv("MORVELL_TEST_LAUNCH_LOG", log.c_str(), 1);
  std::wstring error;
  ASSERT_TRUE(scene.install(error, true, true)) << U(error);
  auto snap = snapshot_tree(scene.dir);
  EXPECT_EQ(snap["readme.txt"], "Morvell 6.1.17");
  EXPECT_EQ(snap["config/settings.ini"], "shipped default");
  EXPECT_EQ(snap["install-info.json"], install_record_text(scene.D()));
  EXPECT_EQ(snap["bin/Morvell-Uninstall.exe"], read_text(self_path()));
  EXPECT_TRUE(scene.no_leftovers());
  EXPECT_EQ(ui_trace.last_status, kShortcutsStatus);

  const std::string desktop = scene.home + "/Desktop/Morvell.desktop";
  const std::string menu = scene.home + "/.local/share/applications/Morvell";
  ASSERT_TRUE(exists(desktop));
  EXPECT_NE(read_text(desktop).find("Path=" + scene.dir + "/bin\n"), std::string::npos);
  EXPECT_TRUE(exists(menu + "/Morvell.desktop"));
  EXPECT_NE(read_text(menu + "/卸载 Morvell.desktop").find("Morvell-Uninstall.exe\" --uninstall\n"), std::string::npos);

  // The application was started in its own directory.
  for (int i = 0; i < 100 && read_text(log).empty(); ++i) plat::sleep_ms(50);
  EXPECT_EQ(read_text(log), scene.dir + "/bin\n");
}

TEST(Transaction, ReinstallKeepsUserConfiguration) {
  Scene scene;
  scene.reset();
  std::wstring error;
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());
  // Flags off: no shortcut touched, nothing started, the record written all the same.
  EXPECT_FALSE(exists(scene.home));
  EXPECT_TRUE(exists(scene.dir + "/install-info.json"));

  // Without a configuration, the package's own stays as shipped.
  scene.reset();
  run_shell("rm -rf '" + scene.dir + "/config'");
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_EQ(read_text(scene.dir + "/config/settings.ini"), "shipped default");
  EXPECT_TRUE(scene.no_leftovers());

  // A config that is a file of the user's is kept under a clear name, and carried by later runs.
  scene.reset();
  run_shell("rm -rf '" + scene.dir + "/config'");
  write_text(scene.dir + "/config", "my own notes");
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_EQ(read_text(scene.dir + "/config.user-file"), "my own notes");
  EXPECT_EQ(read_text(scene.dir + "/config/settings.ini"), "shipped default");
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_EQ(read_text(scene.dir + "/config.user-file"), "my own notes");
  EXPECT_TRUE(scene.no_leftovers());
}

// An update of an earlier installer version that stopped after backing up the configuration and
// writing the package's files over it (its backup is still in the installation) is followed by a
// reinstall: the user's
// files go back wherever config still holds what that update wrote, never over a later change.
TEST(Transaction, CarriesALeftoverUpdateBackupAcross) {
  Scene scene;
  std::wstring error;
  const std::string incoming = scene.tmp / "update/config", backup = scene.dir + "/Morvell-Update-Config-Backup";
  auto leave_update_backup = [&]() {
    scene.reset();
    write_text(incoming + "/settings.ini", "update default");
    write_text(incoming + "/sub/user.txt", "update default");
    ASSERT_TRUE(leave_config_backup(scene.dir, incoming));
    ASSERT_EQ(run_shell("mv '" + incoming + "/settings.ini' '" + incoming + "/sub/user.txt' '" + scene.dir +
                        "/config/' && mv '" + scene.dir + "/config/user.txt' '" + scene.dir + "/config/sub/'"),
              0);
  };
  leave_update_backup();
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_FALSE(exists(backup));
  EXPECT_TRUE(scene.no_leftovers());

  // The user changed a file since: that change stays, the rest goes back.
  leave_update_backup();
  write_text(scene.dir + "/config/sub/user.txt", "changed since");
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_EQ(read_text(scene.dir + "/config/sub/user.txt"), "changed since");
  EXPECT_EQ(read_text(scene.dir + "/config/settings.ini"), "user setting");
  EXPECT_EQ(read_text(scene.dir + "/config/many/7.cfg"), "user 7");
  EXPECT_FALSE(exists(backup));
  EXPECT_TRUE(scene.no_leftovers());

  // A backup that cannot be put back stops the install before anything moves; it stays, and
  // the message says where.
  leave_update_backup();
  plat::set_fault_hook([](const char* op, const std::wstring& path) {
    return std::string(op) == "rename" && path.find(L"Morvell-Update-Config-Backup/config/") != std::wstring::npos;
  });
  EXPECT_FALSE(scene.install(error));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(error, L"无法备份当前配置，请确认安装目录可读写后重试。用户配置备份已保留在 " + scene.D() +
                       L"/Morvell-Update-Config-Backup。");
  EXPECT_EQ(read_text(backup + "/config/settings.ini"), "user setting");
  EXPECT_EQ(read_text(scene.dir + "/readme.txt"), "Morvell 6.1.16");
  EXPECT_TRUE(scene.no_leftovers());
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_FALSE(exists(backup));
}

TEST(Transaction, LeftoversOfEarlierRuns) {
  Scene scene;
  std::wstring error;
  // Stale staging and backup trees of the installer beside a sound installation are removed, not used.
  scene.reset();
  ASSERT_TRUE(mark_staging_tree(W(scene.dir + ".new")));
  write_text(scene.dir + ".new/junk", "x");
  ASSERT_TRUE(mark_staging_tree(W(scene.dir + ".old")));
  write_text(scene.dir + ".old/bin/Morvell.exe", "stale program");
  write_text(scene.dir + ".old/config/settings.ini", "stale backup");
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());

  // A run killed between making its journal and writing it, and one killed while removing a
  // backup (only the mark and part of the files left): neither holds the next install back.
  scene.reset();
  write_text(scene.dir + ".swap", "");
  ASSERT_TRUE(mark_staging_tree(W(scene.dir + ".old")));
  write_text(scene.dir + ".old/.morvell-discard/bin/Morvell.exe", "half removed");
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());

  // Things of those names that the installer did not make stop the install, and stay as they are.
  struct Foreign {
    std::string name, file;
  };
  for (const Foreign& foreign : {Foreign{".new", "/notes.txt"}, Foreign{".old", "/config/settings.ini"},
                                 Foreign{".old", "/holiday.jpg"}, Foreign{".swap", ""}, Foreign{".swap", "/x"}}) {
    scene.reset();
    const std::string path = scene.dir + foreign.name;
    write_text(path + foreign.file, "the user's");
    const auto before = snapshot_tree(scene.tmp.path());
    EXPECT_FALSE(scene.install(error)) << foreign.name << foreign.file;
    EXPECT_EQ(error, not_ours_message(W(path)));
    EXPECT_EQ(snapshot_tree(scene.tmp.path()), before) << foreign.name << foreign.file;
    run_shell("rm -rf '" + path + "'");
  }

  // A backup that no journal of ours names is not shown to be the installation, whatever its
  // record says: it stays exactly as it is and the run says so.
  run_shell("rm -rf '" + scene.dir + "'");
  scene.put_old_install(scene.dir + ".old", scene.dir);
  {
    const auto before = snapshot_tree(scene.tmp.path());
    EXPECT_FALSE(scene.install(error));
    EXPECT_EQ(error, not_ours_message(W(scene.dir + ".old")));
    EXPECT_EQ(snapshot_tree(scene.tmp.path()), before);
    run_shell("rm -rf '" + scene.dir + ".old'");
  }

  // Died during the configuration merge: the journal says the backup is the installation.
  run_shell("rm -rf '" + scene.dir + "'");
  scene.put_old_install(scene.dir + ".old", scene.dir);
  write_text(scene.dir + "/readme.txt", "half a new version");
  write_text(scene.dir + "/config/settings.ini", "half merged");
  scene.write_journal();
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());

  // Died after writing the journal, before moving the installation aside.
  scene.reset();
  scene.write_journal();
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());

  // An update killed while its record and its program stood in the rollback area, the new ones
  // not yet in place: D lacks both, yet its area proves it the installation, and the reinstall
  // (and the window's early check) settle it and install. An area whose record names another
  // folder proves nothing: the run stops and leaves everything as it was.
  for (const bool copied : {false, true}) {
    scene.reset();
    if (copied) write_text(scene.dir + "/install-info.json", install_record_text(W(scene.old_tree), "6.1.16"));
    {
      UpdateRollback rollback(scene.D());
      ASSERT_TRUE(rollback.open());
      ASSERT_TRUE(rollback.move_aside("install-info.json"));
      ASSERT_TRUE(rollback.move_aside("bin/Morvell.exe"));
    }
    ASSERT_FALSE(exists(scene.dir + "/install-info.json"));
    const auto before = snapshot_tree(scene.tmp.path());
    EXPECT_EQ(unsettled_target_is_ours(scene.D(), error), !copied);
    EXPECT_EQ(scene.install(error), !copied) << U(error);
    if (copied) {
      EXPECT_EQ(error, kNotAnInstallation);
      EXPECT_EQ(snapshot_tree(scene.tmp.path()), before);
      continue;
    }
    EXPECT_TRUE(scene.new_with_user_config());
    EXPECT_TRUE(scene.no_leftovers());
    EXPECT_FALSE(exists(scene.dir + "/Morvell-Update-Rollback"));
  }

  // The previous version waits for Morvell's start, the lock let go meanwhile (as while the
  // finished dialog shows). What stands at its name by then and is not the installer's marked
  // leftover (the user moved it away and put a folder of their own there) stays as it is; with
  // another run holding the installation, even the real one is left to the next run.
  for (const bool planted : {true, false}) {
    scene.reset();
    PreviousVersion previous;
    ASSERT_TRUE(install_package(PackageSource{W(scene.package)}, scene.D(), InstallOptions::choosing(false, false, false), error, previous))
        << U(error);
    ASSERT_TRUE(exists(scene.dir + ".old/.morvell-staging"));
    previous.lock.reset();
    plat::FileHandle other = plat::kNoFile;
    if (planted) {
      ASSERT_EQ(run_shell("mv '" + scene.dir + ".old' '" + scene.tmp / "moved" + "'"), 0);
      write_text(scene.dir + ".old/config/settings.ini", "the user's");
    } else {
      ASSERT_EQ(plat::try_lock_file(W(scene.dir + ".lock"), other), plat::LockResult::Taken);
    }
    const auto before = snapshot_tree(scene.dir + ".old");
    remove_previous_version(previous);
    EXPECT_EQ(snapshot_tree(scene.dir + ".old"), before) << (planted ? "planted" : "held");
    plat::unlock_file(other, W(scene.dir + ".lock"));
    EXPECT_TRUE(scene.new_with_user_config());
    run_shell("rm -rf '" + scene.dir + ".old' '" + scene.tmp / "moved" + "'");
  }
}

TEST(Transaction, FailedRollbackKeepsTheBackup) {
  Scene scene;
  run_shell("rm -rf '" + scene.dir + "'");
  scene.put_old_install(scene.dir + ".old", scene.dir);
  write_text(scene.dir + "/partial.txt", "half a new version");
  scene.write_journal();
  const auto backup = snapshot_tree(scene.dir + ".old");
  std::wstring error;
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "rename"; });
  EXPECT_FALSE(scene.install(error));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(error, L"无法回滚安装，原安装已保留在 " + scene.D() + L".old，请手动恢复后重试。");
  EXPECT_EQ(snapshot_tree(scene.dir + ".old"), backup);
  EXPECT_TRUE(exists(scene.dir + ".swap"));
  // A later run does not take the kept backup for stale: it restores it, then installs.
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());

  // The new tree cannot be cleared away before the rollback: the backup stays as well.
  run_shell("rm -rf '" + scene.dir + "'");
  scene.put_old_install(scene.dir + ".old", scene.dir);
  write_text(scene.dir + "/partial.txt", "half a new version");
  scene.write_journal();
  // The new tree leaves D by a rename, never by a removal in place: when it cannot be cleared
  // away afterwards the installation is back all the same, and the run stops.
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "delete_tree"; });
  EXPECT_FALSE(scene.install(error));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(error, kStep8);
  EXPECT_EQ(snapshot_tree(scene.dir), backup);
  EXPECT_FALSE(exists(scene.dir + ".swap"));
  ASSERT_TRUE(scene.install(error)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
}

TEST(Transaction, DesignedFailuresLeaveTheInstallation) {
  Scene scene;
  std::wstring error;
  // A package that is not a zip.
  scene.reset();
  auto before = snapshot_tree(scene.dir);
  write_text(scene.tmp / "broken.zip", "this is not an archive");
  EXPECT_FALSE(install_package(W(scene.tmp / "broken.zip"), scene.D(), InstallOptions::choosing(false, false, false), error));
  EXPECT_TRUE(designed_failure(error)) << U(error);
  EXPECT_EQ(snapshot_tree(scene.dir), before);
  EXPECT_TRUE(scene.no_leftovers());

  // A package without the program: refused before the swap, the installation stays.
  write_text(scene.tmp / "no-program/readme.txt", "Morvell without Morvell.exe");
  write_text(scene.tmp / "no-program/bin/Morvell.exe.txt", "not the program");
  ASSERT_TRUE(make_zip(scene.tmp / "no-program", scene.tmp / "no-program.zip"));
  EXPECT_FALSE(install_package(W(scene.tmp / "no-program.zip"), scene.D(), InstallOptions::choosing(false, false, false), error));
  EXPECT_EQ(error, kProgramMissing);
  EXPECT_EQ(snapshot_tree(scene.dir), before);
  EXPECT_TRUE(scene.no_leftovers());

  // The installation cannot be moved aside.
  plat::set_fault_hook([&scene](const char* op, const std::wstring& path) {
    return std::string(op) == "rename" && path == scene.D();
  });
  EXPECT_FALSE(scene.install(error));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(error, kStep8);
  EXPECT_EQ(snapshot_tree(scene.dir), before);
  EXPECT_TRUE(scene.no_leftovers());

  // The configuration cannot be carried across: rolled back.
  plat::set_fault_hook([](const char* op, const std::wstring& path) {
    return std::string(op) == "copy_file" && path.find(L"/config/sub/") != std::wstring::npos;
  });
  EXPECT_FALSE(scene.install(error));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(error, kStep10);
  EXPECT_EQ(snapshot_tree(scene.dir), before);
  EXPECT_TRUE(scene.no_leftovers());

  // The record cannot be written (a full disk, say): an installation without its record could be
  // neither updated nor uninstalled, so the previous version, with its record, comes back whole.
  const std::wstring record_failed = kRecordFailed;
  scene.reset();
  before = snapshot_tree(scene.dir);
  plat::set_fault_hook([](const char* op, const std::wstring& path) {
    return std::string(op) == "create_for_writing" && path.find(L"install-info.json") != std::wstring::npos;
  });
  EXPECT_FALSE(scene.install(error, true, false));
  EXPECT_EQ(error, record_failed);
  EXPECT_EQ(snapshot_tree(scene.dir), before);
  EXPECT_FALSE(exists(scene.home + "/Desktop/Morvell.desktop"));
  EXPECT_TRUE(scene.no_leftovers());
  // A first install without its record is taken away again.
  run_shell("rm -rf '" + scene.dir + "'");
  EXPECT_FALSE(scene.install(error));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(error, record_failed);
  EXPECT_FALSE(exists(scene.dir));
  EXPECT_TRUE(scene.no_leftovers());
  scene.reset();
  before = snapshot_tree(scene.dir);

  // A directory given with a trailing separator puts staging and backup inside it.
  EXPECT_FALSE(install_package(W(scene.package), W(scene.dir + "/"), InstallOptions::choosing(false, false, false), error));
  EXPECT_EQ(error, kStep8);
  EXPECT_EQ(snapshot_tree(scene.dir), before);
}

TEST(Transaction, ShellFoldersUnknownOrUnwritable) {
  Scene scene;
  std::wstring error;
  unsetenv("HOME");
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_CONFIG_HOME");
  ASSERT_TRUE(scene.install(error, true, false)) << U(error);
  EXPECT_EQ(read_text(scene.dir + "/readme.txt"), "Morvell 6.1.17");

  write_text(scene.tmp / "blocker", "a file where the home should be");
  setenv("HOME", (scene.tmp / "blocker/home").c_str(), 1);
  scene.reset();
  ASSERT_TRUE(scene.install(error, true, false)) << U(error);
  EXPECT_TRUE(scene.new_with_user_config());
  EXPECT_TRUE(scene.no_leftovers());
}
