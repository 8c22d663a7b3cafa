// What the installer can prove it made, for the user running it, and so may replace, rename or
// remove: an installation by its record naming this very folder, a work tree by its owner and
// its mark. Everything else beside or at an install location is the user's and stays as it is.
#pragma once

#include <string>

#include "install/messages.h"

extern const wchar_t kStagingMark[];         // the folder that marks a work tree as the installer's

// The refusal of something beside or in the installation that the installer did not make for
// this user (a planted backup, another user's journal, a folder of the user's at a work name).
std::wstring not_ours_message(const std::wstring& path);

// Names at the top of an installation that the installer keeps for its own state (work trees,
// journals, marks, the record): a package that brings one of them is refused as a whole.
bool is_installer_name(const std::wstring& top_level_name);

// The folder and its install-info.json belong to this user, the record holds exactly the members
// the installer writes and its install_dir names this very folder (file identity).
// With `record`, that record file (one moved out of the folder) stands in for its install-info.json.
bool is_recorded_installation(const std::wstring& dir, const std::wstring& record = std::wstring());
// A recorded installation that holds its program, bin/Morvell.exe.
bool is_installation(const std::wstring& dir);
bool is_empty_directory(const std::wstring& path);
// A directory of this user's that carries the installer's mark (also owned by this user).
bool is_own_marked_tree(const std::wstring& path);
// An empty directory of this user's, or one of its marked trees: nothing of anyone's is lost
// when it goes.
bool is_own_work_tree(const std::wstring& path);
// Creates the directory when missing and puts the installer's mark in it first; false when it
// cannot, or when what stands there is not this user's directory.
bool mark_staging_tree(const std::wstring& staging);
void unmark_tree(const std::wstring& dir);                // the mark goes once the tree is the installation
// Removes a work tree of the installer's (or a file there) so that whatever a run cut short
// leaves still carries the mark: the mark goes last. With a `status`, the bulk goes through the
// external remover, which shows that text while it runs. Callers pass only what they proved.
void discard_work_tree(const std::wstring& path, const std::wstring& status = L"");
// The same for everything inside a work tree of the installer's; the folder itself stays, empty.
void discard_work_tree_contents(const std::wstring& path, const std::wstring& status = L"");
// Absent, an empty folder that is not one of the user's own, a tree a killed install of ours
// left, or an installation; else false with the refusal in `error`.
bool install_target_is_ours(const std::wstring& install_dir, std::wstring& error);
// The install location, its staging tree, its backup and its journal: each is absent or proven
// the installer's (the journal must be settled by now); else false with the refusal in `error`.
bool install_location_is_ours(const std::wstring& install_dir, const std::wstring& staging,
                              const std::wstring& backup, const std::wstring& journal, std::wstring& error);
bool is_user_folder(const std::wstring& dir);             // a root, the home or one of the user's well-known folders
