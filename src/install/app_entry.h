// The installation's entry in the system's list of the user's programs (Apps & features on
// Windows): written by every successful install, its version and size brought up to date by an
// update, removed by the uninstall. Nothing is ever read back from it.
#pragma once

#include <string>

// The entry's name: one per installation, the same however the folder's letters are cased.
std::wstring app_entry_key(const std::wstring& install_dir);
void write_app_entry(const std::wstring& install_dir);    // the whole entry; failures only logged
void update_app_entry(const std::wstring& install_dir);   // version and size, of an entry that exists
void remove_app_entry(const std::wstring& install_dir);
