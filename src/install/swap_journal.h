// The journal of an install's swap: D + ".swap" beside the installation records which folder is
// the previous installation and which the new tree, by their file identities, while the previous
// installation is moved aside to D + ".old" and the new tree takes D's place.
#pragma once

#include <string>

struct SwapNames {
  std::wstring staging;   // D + ".new": the unpacked package
  std::wstring backup;    // D + ".old": the previous installation during the swap
  std::wstring journal;   // D + ".swap"
};
SwapNames swap_names(const std::wstring& install_dir);

// The journal text naming the previous installation and the new tree as they stand now; empty
// when either cannot be identified.
std::string swap_journal_text(const std::wstring& previous, const std::wstring& fresh);
// Writes the journal before the installation is moved aside; false when it cannot be made.
bool open_swap_journal(const std::wstring& install_dir);
// The new installation holds the configuration and its record: the backup is marked as the
// installer's leftover and the journal goes. False when either cannot be done (nothing moves).
bool close_swap_journal(const std::wstring& install_dir);
// Puts the previous installation back from the backup while the journal is open: the new tree
// leaves D by a rename (never deleted in place), the backup takes D, then the new tree and the
// journal go. False (the journal and the backup stay, `error` says where) when it cannot.
bool undo_swap(const std::wstring& install_dir, std::wstring& error);
// Completes or undoes a swap that a killed run left, when its journal is this user's and names
// what stands there. True when no journal stands in the way any more; the journal is gone then.
bool settle_swap(const std::wstring& install_dir, std::wstring& error);
