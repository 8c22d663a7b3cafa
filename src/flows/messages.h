// The texts of the flows that the user reads and that more than one step gives.
#pragma once

extern const wchar_t kPackageNotFound[];        // a package named on the command line is not there
extern const wchar_t kUnknownInstallation[];    // the uninstaller cannot tell which installation is its own
