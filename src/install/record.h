// The uninstaller copy and install-info.json of an installation.
#pragma once

#include <string>

std::string install_record_text(const std::wstring& install_dir);   // the exact bytes of install-info.json
bool write_install_record(const std::wstring& install_dir);          // true when both are in place; silent
