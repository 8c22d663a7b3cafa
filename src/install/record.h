// The uninstaller copy and install-info.json of an installation.
#pragma once

#include <string>

// The version an installation records: the release chosen from the release list in an online
// install, else the release this installer carries and was built with.
std::string installed_version();
// The exact bytes of install-info.json.
std::string install_record_text(const std::wstring& install_dir, const std::string& version = installed_version());
bool write_install_record(const std::wstring& install_dir);          // true when both are in place; silent
// The same two files for the installation at `install_dir`, written into the tree `into` that will become it.
bool write_install_record(const std::wstring& install_dir, const std::wstring& into);
