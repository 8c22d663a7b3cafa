// The process-wide values of the installer, settled at start-up and read by every flow.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct InstallOptions {
  std::string install_dir;          // UTF-8, as the location entry shows it
  std::string package_path;         // UTF-8, the --package value, never cleaned
  bool desktop_shortcut = true;
  bool start_menu_shortcut = true;
  bool launch_after_install = true;
  // Only the three choices, as given (the folder and the package left empty).
  static InstallOptions choosing(bool desktop, bool start_menu, bool launch) {
    InstallOptions options;
    options.desktop_shortcut = desktop;
    options.start_menu_shortcut = start_menu;
    options.launch_after_install = launch;
    return options;
  }
};

struct ReleaseEntry {
  std::string version;
  std::string file_name;
  std::string download_url;
  std::string sha256;
  std::string release_notes;
  std::string channel;
  std::string kind;
  uint64_t size = 0;
};

struct ReleaseCatalogue {
  std::vector<ReleaseEntry> entries;
  int32_t selected = -1;            // outside the list = nothing chosen
};

// What this run of the program does, settled at start-up from the command line and the program's name.
enum class RunMode {
  Online,      // installs a release chosen from the update server's list
  Offline,     // installs the package the program carries, or the --package one
  Uninstall,   // removes the installation the program belongs to
  Update,      // started by the installed application with --update: its package goes over the installation
};

extern RunMode run_mode;
// The mode's name as the log gives it: "online", "offline" or "uninstall". An update installs a
// package as an offline run does and is named "offline" there (its line goes on with 更新：是).
const char* run_mode_name(RunMode mode);

extern InstallOptions install_options;
extern ReleaseCatalogue release_catalogue;
extern bool busy;                   // a flow is running a long operation
extern int32_t exit_code;           // returned by a windowed run

extern const char* const installer_version;   // this program's version, as --version prints it
// The Morvell release an offline installer of this build carries and an install records.
extern const char* const carried_release;

// The compiled-in HTTPS base address of the update server.
extern const char* const update_server_base;

// The compiled-in public keys that release lists must be signed with: base64 DER
// SubjectPublicKeyInfo texts separated by ";". Empty: lists are taken unsigned.
extern const char* const release_keys_setting;
