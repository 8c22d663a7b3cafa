// What an interrupted run left on an installation, settled before a new run writes into it.
#pragma once

#include <string>

// Every run that holds the installation's lock calls this first, before it reads or writes D:
// an interrupted swap of an install is completed or undone, an interrupted update likewise, and a
// leftover configuration backup goes back. Each journal is settled once and then removed. False
// (with `error` naming the cause) when something in the way cannot be shown to be the
// installer's own; nothing is touched then.
bool settle_installation(const std::wstring& install_dir, std::wstring& error);
// D is fit to be settled and then installed into: what install_target_is_ours accepts, or an
// installation an update was cut short in (whole again once settled); else false with the
// refusal in `error`.
bool unsettled_target_is_ours(const std::wstring& install_dir, std::wstring& error);
