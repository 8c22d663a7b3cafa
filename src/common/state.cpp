#include "common/state.h"

RunMode run_mode = RunMode::Online;
InstallOptions install_options;
ReleaseCatalogue release_catalogue;
bool busy = false;
int32_t exit_code = 0;

#ifndef MORVELL_VERSION
#define MORVELL_VERSION "0.0.0"
#endif
const char* const installer_version = MORVELL_VERSION;

#ifndef MORVELL_RELEASE_VERSION
#define MORVELL_RELEASE_VERSION "6.1.17"
#endif
const char* const carried_release = MORVELL_RELEASE_VERSION;

#ifndef MORVELL_UPDATE_SERVER
#define MORVELL_UPDATE_SERVER "https://updates.morvell.example"
#endif
const char* const update_server_base = MORVELL_UPDATE_SERVER;

const char* run_mode_name(RunMode mode) {
  switch (mode) {
    case RunMode::Online:
      return "online";
    case RunMode::Uninstall:
      return "uninstall";
    case RunMode::Offline:
    case RunMode::Update:
      break;
  }
  return "offline";
}
