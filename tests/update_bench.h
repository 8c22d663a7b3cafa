// An installation D (1.0, with the user's configuration and its record), an update package P
// (2.0) and a program path whose work folder lies in the temp dir, for the update run in this
// process. Both versions' programs are scripts that log their start to the bench's app log.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "app/ui.h"
#include "common/state.h"
#include "common/strings.h"
#include "flows/update.h"
#include "install/record.h"
#include "package/workdir.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/leftover_backup.h"

namespace update_bench {

using namespace testing_support;

inline const std::string kOldProgram = "#!/bin/sh\necho \"old $(pwd)\" >> \"$MORVELL_TEST_APP_LOG\"\n";
inline const std::string kNewProgram = "#!/bin/sh\necho \"started $(pwd) $#\" >> \"$MORVELL_TEST_APP_LOG\"\n";

struct UpdateBench {
  TempDir dir;
  std::string d = dir / "安装 目录";
  std::string p = dir / "downloads/update.zip";
  std::string src = dir / "package-src";
  std::string log = dir / "app.log";

  UpdateBench() {
    set_work_program_path(W(dir / "program/morvell-installer"));
    run_shell("mkdir -p '" + dir / "program" + "'");
    setenv("MORVELL_TEST_APP_LOG", log.c_str(), 1);
    write_text(d + "/bin/Morvell.exe", kOldProgram);
    chmod((d + "/bin/Morvell.exe").c_str(), 0755);
    write_text(d + "/version.txt", "1.0\n");
    write_text(d + "/config/settings.ini", "user=changed\n");
    write_text(d + "/config/nested/mine.txt", "only the user has this");
    write_text(d + "/old-only.txt", "left alone");
    write_text(d + "/install-info.json", install_record_text(W(d)));
    make_package(p);
    exit_code = 0;
    install_options.launch_after_install = true;
    ui_trace = UiTrace();
  }
  ~UpdateBench() {
    plat::set_fault_hook(nullptr);
    set_work_program_path(L"");
    set_health_watch_ms(0);
    unsetenv("MORVELL_TEST_APP_LOG");
  }

  // The package's tree as it stands in `src`, with `program` as its bin/Morvell.exe.
  void make_package(const std::string& zip, const std::string& program = kNewProgram) {
    run_shell("rm -rf '" + src + "'");
    write_text(src + "/bin/Morvell.exe", program);
    chmod((src + "/bin/Morvell.exe").c_str(), 0755);
    write_text(src + "/version.txt", "2.0\n");
    write_text(src + "/config/settings.ini", "package=default\n");
    write_text(src + "/config/new-setting.ini", "new in the package\n");
    write_text(src + "/docs/readme.txt", "read me");
    zip_source(zip);
  }
  void zip_source(const std::string& zip) {
    run_shell("mkdir -p \"$(dirname '" + zip + "')\" && rm -f '" + zip + "'");
    ASSERT_TRUE(make_zip(src, zip));
  }

  // What an update of an earlier installer version left when it was cut short after writing the
  // package's configuration over the user's: its backup of config.
  void leave_earlier_backup() {
    ASSERT_TRUE(leave_config_backup(d, src + "/config"));
    ASSERT_EQ(run_shell("cp -a '" + src + "/config/.' '" + d + "/config/'"), 0);
  }

  bool run(const std::string& package) {
    install_options.install_dir = d;
    install_options.package_path = package;
    ui_trace = UiTrace();
    return run_update();
  }
  // A copy of P for a second run (every run that begins consumes its package).
  std::string second_package() {
    const std::string copy = dir / "downloads/second.zip";
    run_shell("cp '" + p + "' '" + copy + "'");
    return copy;
  }

  // The app log once a line has come (bounded), or what it holds then.
  std::string launches(size_t lines = 1) {
    wait_until(5000, [&] { return lines_in(read_text(log)) >= lines; });
    return read_text(log);
  }
  static size_t lines_in(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
  }

  void expect_updated() {
    EXPECT_EQ(read_text(d + "/version.txt"), "2.0\n");
    EXPECT_EQ(read_text(d + "/docs/readme.txt"), "read me");
    EXPECT_EQ(read_text(d + "/old-only.txt"), "left alone");
    EXPECT_EQ(read_text(d + "/config/settings.ini"), "user=changed\n");   // the user's content wins
    EXPECT_EQ(read_text(d + "/config/nested/mine.txt"), "only the user has this");
    EXPECT_EQ(read_text(d + "/config/new-setting.ini"), "new in the package\n");
    for (const char* left : {"/Morvell-Update-Temp", "/Morvell-Update-Rollback", "/Morvell-Update-Config-Backup",
                             "/Morvell-Update-Config-Backup.partial"})
      EXPECT_FALSE(exists(d + left)) << left;
    EXPECT_EQ(read_text(d + "/install-info.json"), install_record_text(W(d)));
  }
};

inline bool is_process_op(const std::string& op) {
  return op == "start_process" || op == "wait_process" || op == "launch_detached" || op == "launch_watched" ||
         op == "watch_program" || op == "list_processes" || op == "terminate_process";
}
inline bool is_removal_op(const std::string& op) {
  return op.find("delete") != std::string::npos || op.find("remove") != std::string::npos;
}

}  // namespace update_bench
