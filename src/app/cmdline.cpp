#include "app/cmdline.h"

#include <cstdio>
#include <cstring>

#include "app/silent.h"
#include "app/window.h"
#include "common/state.h"
#include "common/strings.h"
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
  std::wstring local = shell_folder(plat::kFolderLocalAppData);
  if (!local.empty()) return join_path(join_path(local, L"Programs"), L"Morvell");
  std::wstring profile = shell_folder(plat::kFolderProfile);
  if (!profile.empty()) return join_path(profile, L"Morvell");
  return L"Morvell";
}

void settle_options(int argc, char** argv) {
  run_mode = "online";
  std::wstring own = own_exe_path();
  if (!own.empty() && ascii_equal_ignore_case(wide_to_utf8(file_name_of(own)), "Morvell-Uninstall.exe"))
    run_mode = "uninstall";
  if (has_flag(argc, argv, "--offline")) run_mode = "offline";
  if (has_flag(argc, argv, "--uninstall")) run_mode = "uninstall";
  if (has_flag(argc, argv, "--update")) {
    run_mode = "offline";
    update_mode = true;
  }
  install_options.package_path = option_value(argc, argv, "--package");
  std::string dir = option_value(argc, argv, "--install-dir");
  // Settled once and absolute: the shortcuts, the record and the programs started later
  // (from other folders) must all name the same place.
  const std::wstring settled = dir.empty() ? default_install_dir() : clean_path_input(utf8_to_wide(dir));
  install_options.install_dir = wide_to_utf8(plat::absolute_path(settled));
  if (has_flag(argc, argv, "--no-desktop-shortcut")) install_options.desktop_shortcut = false;
  if (has_flag(argc, argv, "--no-start-menu-shortcut")) install_options.start_menu_shortcut = false;
  if (has_flag(argc, argv, "--no-launch")) install_options.launch_after_install = false;
}

int run_program(int argc, char** argv, bool have_display) {
  settle_options(argc, argv);
  if (has_flag(argc, argv, "--silent-install")) return run_silent_install();
  if (!have_display) {
    std::fputs("无法初始化图形界面，请在桌面环境中运行，或使用 --silent-install。\n", stderr);
    return 1;
  }
  build_installer_window();
  install_mode_idle_callback();
  run_main_loop();
  return exit_code;
}
