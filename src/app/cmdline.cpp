#include "app/cmdline.h"

#include <cstring>

#include "app/silent.h"
#include "app/window.h"
#include "common/log.h"
#include "common/state.h"
#include "common/strings.h"
#include "package/payload.h"
#include "package/workdir.h"
#include "platform/platform.h"

bool has_flag(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i] ? argv[i] : "";
    if (std::strcmp(arg, name) == 0) return true;
  }
  return false;
}

std::string option_value(int argc, char** argv, const char* name) {
  size_t name_len = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i] ? argv[i] : "";
    if (std::strcmp(arg, name) == 0 && i + 1 < argc) return argv[i + 1] ? std::string(argv[i + 1]) : std::string();
    if (std::strncmp(arg, name, name_len) == 0 && arg[name_len] == '=') return std::string(arg + name_len + 1);
  }
  return std::string();
}

static bool ascii_equal_ignore_case(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

static std::wstring default_install_dir() {
  std::wstring local = plat::shell_folder(plat::kFolderLocalAppData);
  if (!local.empty()) return join_path(join_path(local, L"Programs"), L"Morvell");
  std::wstring profile = plat::shell_folder(plat::kFolderProfile);
  if (!profile.empty()) return join_path(profile, L"Morvell");
  return L"Morvell";
}

void settle_options(int argc, char** argv) {
  run_mode = RunMode::Online;
  std::wstring own = plat::own_executable_path();
  if (!own.empty() && ascii_equal_ignore_case(plat::wide_to_utf8(file_name_of(own)), "Morvell-Uninstall.exe"))
    run_mode = RunMode::Uninstall;
  if (has_flag(argc, argv, "--offline")) run_mode = RunMode::Offline;
  if (has_flag(argc, argv, "--uninstall")) run_mode = RunMode::Uninstall;
  if (has_flag(argc, argv, "--update")) run_mode = RunMode::Update;
  // An offline installer opened with a double click names no mode: the package it carries does.
  uint64_t offset = 0, length = 0;
  if (run_mode == RunMode::Online && find_carried_payload(work_program_path(), offset, length))
    run_mode = RunMode::Offline;
  install_options.package_path = option_value(argc, argv, "--package");
  std::string dir = option_value(argc, argv, "--install-dir");
  // Settled once and absolute: the shortcuts, the record and the programs started later
  // (from other folders) must all name the same place.
  const std::wstring settled = dir.empty() ? default_install_dir() : clean_path_input(plat::utf8_to_wide(dir));
  install_options.install_dir = plat::wide_to_utf8(plat::absolute_path(settled));
  if (has_flag(argc, argv, "--no-desktop-shortcut")) install_options.desktop_shortcut = false;
  if (has_flag(argc, argv, "--no-start-menu-shortcut")) install_options.start_menu_shortcut = false;
  if (has_flag(argc, argv, "--no-launch")) install_options.launch_after_install = false;
}

// The usage, as the README's options table has it.
static const char kUsage[] =
    "用法：morvell-installer [--offline | --uninstall | --update] [--package ZIP] [--install-dir DIR]\n"
    "                         [--no-desktop-shortcut] [--no-start-menu-shortcut] [--no-launch]\n"
    "                         [--silent-install | --silent-uninstall] [--log FILE] [--help] [--version]\n"
    "\n"
    "  --offline                 安装本程序携带的安装包\n"
    "  --uninstall               卸载本程序所属的安装\n"
    "  --update                  安装已下载的更新包（与 --package 和 --install-dir 一起使用）\n"
    "  --package ZIP             改为安装此安装包\n"
    "  --install-dir DIR         安装位置\n"
    "  --no-desktop-shortcut     不创建桌面快捷方式\n"
    "  --no-start-menu-shortcut  不创建开始菜单快捷方式\n"
    "  --no-launch               安装完成后不启动 Morvell\n"
    "  --silent-install          不显示窗口，安装携带的安装包；退出码 0（完成）、2（没有安装包）、3（安装失败）\n"
    "  --silent-uninstall        不显示窗口，卸载本程序所属的安装；退出码 0（已开始删除）、3（已拒绝）\n"
    "  --log FILE                将运行过程追加写入日志文件 FILE\n"
    "  --help                    显示本帮助并退出\n"
    "  --version                 显示版本并退出\n";

// The settled start-up, as the first lines of the log.
static void log_start(int argc, char** argv) {
  const std::string path = option_value(argc, argv, "--log");
  if (path.empty()) return;
  if (!open_log(plat::utf8_to_wide(path))) {
    plat::show_user_text("无法写入日志文件：" + path + "\n", true, false);   // the run goes on without one
    return;
  }
  std::string command;
  for (int i = 0; i < argc; ++i)
    command += (i ? " " : "") + plat::wide_to_utf8(plat::quote_argument(plat::utf8_to_wide(argv[i] ? argv[i] : "")));
  const auto yes_no = [](bool flag) { return std::string(flag ? "是" : "否"); };
  log_line(std::string("morvell-installer ") + installer_version + "，进程 " +
           std::to_string(plat::current_process_id()));
  log_line("命令行：" + command);
  log_line("运行模式：" + std::string(run_mode_name(run_mode)) + "，更新：" + yes_no(run_mode == RunMode::Update) +
           "，静默安装：" + yes_no(has_flag(argc, argv, "--silent-install")) + "，安装目录：" + install_options.install_dir +
           "，安装包：" + install_options.package_path + "，桌面快捷方式：" + yes_no(install_options.desktop_shortcut) +
           "，开始菜单快捷方式：" + yes_no(install_options.start_menu_shortcut) +
           "，安装后启动：" + yes_no(install_options.launch_after_install) +
           "，静默卸载：" + yes_no(has_flag(argc, argv, "--silent-uninstall")));
}

int run_program(int argc, char** argv, bool have_display) {
  if (has_flag(argc, argv, "--help")) {
    plat::show_user_text(kUsage, false, true);
    return 0;
  }
  if (has_flag(argc, argv, "--version")) {
    // The two versions of the program's version resource: its own, and the release it installs.
    plat::show_user_text(std::string("morvell-installer ") + installer_version + "\nMorvell " + carried_release + "\n",
                         false, true);
    return 0;
  }
  settle_options(argc, argv);
  log_start(argc, argv);
  if (has_flag(argc, argv, "--silent-install")) return run_silent_install();
  if (has_flag(argc, argv, "--silent-uninstall")) return run_silent_uninstall();
  if (have_display) build_installer_window();
  if (!window_exists()) {
    plat::show_user_text("无法初始化图形界面，请在桌面环境中运行，或使用 --silent-install。\n", true, false);
    return 1;
  }
  install_mode_idle_callback();
  run_main_loop();
  return exit_code;
}
