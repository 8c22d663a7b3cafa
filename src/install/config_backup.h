// The user's configuration kept safe while an update writes over it: a copy of `config` with a
// manifest of what config held and what the update puts there, so that a copy left behind by a
// failed or killed run is used later only where it is still right.
#pragma once

#include <string>

std::wstring config_backup_path(const std::wstring& install_dir);       // the backup folder inside D
std::wstring config_backup_kept_note(const std::wstring& install_dir);  // tells the user where the backup stays
// Before an update or install touches D: a `config` that is not a folder is renamed aside, and a
// leftover backup is used (or the run stops, with `error` saying where the backup stays).
bool settle_config(const std::wstring& install_dir, std::wstring& error);
// Copies config and records it, and what `incoming` (the package's config) will put there; on
// failure no backup is left and `error` is set.
bool back_up_config(const std::wstring& install_dir, const std::wstring& incoming, std::wstring& error);
// Puts the user's files back from the backup this same run made, then removes it; false when it stays.
bool restore_own_config_backup(const std::wstring& install_dir);
// Carries the configuration of the installation at `from` (and any config file set aside there)
// into the one at `to`. False when something could not be copied.
bool carry_configuration(const std::wstring& from, const std::wstring& to);
