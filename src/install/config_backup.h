// The user's configuration across updates and installs: a configuration backup that an update of
// an earlier installer version left behind goes back into `config` wherever it is still right,
// and an install carries the previous installation's configuration into the new one.
#pragma once

#include <string>

std::wstring config_backup_path(const std::wstring& install_dir);       // the backup folder inside D
std::wstring config_backup_kept_note(const std::wstring& install_dir);  // tells the user where the backup stays
// Before an update or install touches D: a leftover backup is used, or the run stops with `error`
// saying where the backup stays (or naming it, when it is not this user's); nothing is touched then.
bool settle_config(const std::wstring& install_dir, std::wstring& error);
// Carries the configuration of the installation at `from` (and any config entries set aside
// there) into the one at `to`; entries in the way of the package's are kept beside them. False
// when something could not be copied.
bool carry_configuration(const std::wstring& from, const std::wstring& to);
