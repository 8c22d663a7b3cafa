// The user's entries in `config` against what a package brings: an entry of the user's that is
// in the way of the package's (a file where the package has a folder, or the other way round) is
// kept under a new name beside it, never dropped; a link to a folder (a synced settings folder)
// counts as that folder and nothing is written behind it.
#pragma once

#include <string>

enum class EntryShape { None, File, Folder, FolderLink, Other };   // Other: a pipe, socket or device
EntryShape entry_shape(const std::wstring& path);                   // a link to a folder is FolderLink
inline bool is_folder_shape(EntryShape shape) { return shape == EntryShape::Folder || shape == EntryShape::FolderLink; }
// A name beside `name` in `dir` that nothing holds yet, telling what it keeps: "<name>.user-file",
// "<name>.user-folder", then "-2", "-3"...; empty when none is free.
std::wstring free_aside_name(const std::wstring& dir, const std::wstring& name, bool folder);
// Whether a top-level name is one of those that keep a `config` that was in the way.
bool is_set_aside_config(const std::wstring& name);
