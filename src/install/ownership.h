// What the installer can show it made, and so may replace, rename or remove: everything else
// beside or at an install location is the user's and is left exactly as it is.
#pragma once

#include <string>

extern const wchar_t kNotAnInstallation[];   // the refusal of an install location that is the user's
extern const char kSwapJournalText[];        // what the journal of a swap says, to the byte
extern const wchar_t kStagingMark[];         // the folder that marks a staging tree as the installer's

// Names at the top of an installation that the installer keeps for its own state (work trees,
// journals, marks, the record): a package that brings one of them is refused as a whole.
bool is_installer_name(const std::wstring& top_level_name);

bool is_installation(const std::wstring& dir);            // holds a readable install-info.json or bin/Morvell.exe
// Absent, an empty directory, an installation or a staging tree that carries the installer's mark.
bool is_replaceable(const std::wstring& path);
bool is_swap_journal(const std::wstring& path);           // absent, empty, or a file holding exactly the journal text
bool is_open_journal(const std::wstring& path);           // a file holding exactly the journal text: a swap under way
// Creates the staging directory and puts the installer's mark in it first; false when it cannot.
bool mark_staging_tree(const std::wstring& staging);
void unmark_tree(const std::wstring& dir);                // the mark goes once the tree is the installation
// Removes a staging or backup tree of the installer's (or a file there) so that whatever a run cut
// short leaves still carries the mark: the mark goes last. With a `status`, the bulk goes through
// the external remover, which shows that text while it runs.
void discard_tree(const std::wstring& path, const std::wstring& status = L"");
// The install location, its staging tree, backup and journal are all the installer's; else false
// with the refusal in `error`.
bool install_location_is_ours(const std::wstring& install_dir, const std::wstring& staging,
                              const std::wstring& backup, const std::wstring& journal, std::wstring& error);
// Its install-info.json parses and its install_dir names this very folder.
bool is_recorded_installation(const std::wstring& dir);
bool is_user_folder(const std::wstring& dir);             // a root, the home or one of the user's well-known folders
