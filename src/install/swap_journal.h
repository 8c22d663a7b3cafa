// The journal of an install's swap: D + ".swap" beside the installation says that D + ".old"
// holds the real installation while the new tree takes D's place.
#pragma once

#include <string>

// Writes the journal before the installation is moved aside. False when it cannot be made.
bool open_swap_journal(const std::wstring& journal);
// Puts the previous installation back from the backup; the journal goes once it is back.
bool undo_swap(const std::wstring& install_dir, const std::wstring& backup, const std::wstring& journal,
               std::wstring& error);
// Completes or undoes a swap that a killed run left. True when nothing stands in the way.
bool settle_swap(const std::wstring& install_dir, std::wstring& error);
