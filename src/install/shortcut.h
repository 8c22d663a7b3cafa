// The program shortcuts of an installation; silent on every failure.
#pragma once

#include <string>

void create_shortcut(const std::wstring& target, const std::wstring& link, const std::wstring& directory,
                     const std::wstring& arguments);
// The desktop shortcut and the start-menu folder with its two shortcuts, as chosen.
void create_installation_shortcuts(const std::wstring& install_dir, bool desktop, bool start_menu);
// Removes the shortcuts that start this installation's program or uninstaller, and the start-menu
// folder once nothing else is left in it; shortcuts that start anything else stay.
void remove_installation_shortcuts(const std::wstring& install_dir);
