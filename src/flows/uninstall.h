// What the Uninstall button does, and the same without a window (--silent-uninstall).
#pragma once

#include <string>

// Removes the shortcuts and the entry in the system's program list at once and starts the script
// that removes the installation once this process has ended; false with `error` when refused.
bool start_uninstall(std::wstring& error);
void run_uninstall();   // start_uninstall, then the main loop ends; a refusal is shown in a dialog
