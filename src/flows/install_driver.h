// What the Install button does in the two install modes.
#pragma once

#include <string>

// What the user asked for with the press: the window reads its fields and hands them over.
struct InstallRequest {
  std::string location;              // UTF-8, the location entry's text as typed (cleaned here)
  bool desktop_shortcut = true;
  bool start_menu_shortcut = true;
  bool launch_after_install = true;
};

void run_install(const InstallRequest& request);
