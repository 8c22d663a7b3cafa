// The user's entries in `config` against what a package brings, and the configuration carried
// from one installation into a new one by the install: the user's file wins over the package's
// file of the same name, and an entry of the user's in the way of the package's is kept beside it.
#include "install/config_entries.h"

#include <vector>

#include "common/filetree.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/strings.h"
#include "install/config_backup.h"
#include "install/messages.h"
#include "platform/platform.h"

namespace {

const std::wstring kFileSuffix = L".user-file", kFolderSuffix = L".user-folder";
const std::wstring kAsidePrefix = L"config.user-";

// Copies the user's entry `from` into the new installation at `to`, by the rules above. A link
// to a folder goes across as the link, in place of whatever the package has there.
bool carry_entry(const std::wstring& from, const std::wstring& to, ProgressThrottle& throttle) {
  const EntryShape mine = entry_shape(from), theirs = entry_shape(to);
  if (mine == EntryShape::None || mine == EntryShape::Other) return true;   // pipes and sockets are not data
  if (mine != EntryShape::FolderLink && theirs != EntryShape::None && is_folder_shape(mine) != is_folder_shape(theirs)) {
    const std::wstring aside = free_aside_name(parent_path(to), file_name_of(to), mine == EntryShape::Folder);
    if (aside.empty()) return false;
    log_line("用户配置 " + plat::wide_to_utf8(from) + " 与新版本的同名项目类型不同，已改名保留为 " + plat::wide_to_utf8(aside));
    return copy_tree(from, aside, &throttle);
  }
  if (mine == EntryShape::FolderLink) {
    if (theirs != EntryShape::None) remove_tree_in_process(to);   // the package's defaults, in a tree the installer made
    return copy_file_with_progress(from, to, &throttle, 0);
  }
  if (mine != EntryShape::Folder) return copy_file_with_progress(from, to, &throttle, 0);
  if (theirs == EntryShape::FolderLink) remove_tree_in_process(to);
  if (!create_directory_tree(to)) return false;
  std::vector<plat::DirEntry> entries;
  if (!plat::list_directory(from, entries)) return false;
  for (const plat::DirEntry& entry : entries)
    if (!carry_entry(join_path(from, entry.name), join_path(to, entry.name), throttle)) return false;
  return true;
}

}  // namespace

EntryShape entry_shape(const std::wstring& path) {
  switch (plat::path_kind(path)) {
    case plat::PathKind::None: return EntryShape::None;
    case plat::PathKind::Directory: return EntryShape::Folder;
    case plat::PathKind::Special: return EntryShape::Other;
    case plat::PathKind::Link:
      return plat::resolve_directory_link(path) != path ? EntryShape::FolderLink : EntryShape::File;
    case plat::PathKind::File: return EntryShape::File;
  }
  return EntryShape::Other;
}

std::wstring free_aside_name(const std::wstring& dir, const std::wstring& name, bool folder) {
  const std::wstring base = name + (folder ? kFolderSuffix : kFileSuffix);
  for (int n = 1; n < 1000; ++n) {
    const std::wstring aside = join_path(dir, n == 1 ? base : base + L"-" + std::to_wstring(n));
    if (plat::path_kind(aside) == plat::PathKind::None) return aside;
  }
  return L"";
}

bool is_set_aside_config(const std::wstring& name) { return name.compare(0, kAsidePrefix.size(), kAsidePrefix) == 0; }

bool carry_configuration(const std::wstring& from, const std::wstring& to) {
  uint64_t files = 0, bytes = 0;
  count_tree(join_path(from, L"config"), files, bytes);
  ProgressThrottle throttle;
  throttle.total = bytes != 0 ? bytes : files;
  throttle.from = bar::kConfiguration.from;
  throttle.to = bar::kConfiguration.to;
  throttle.text = kRestoringConfigStatus;
  throttle.update(0, true);
  if (!carry_entry(join_path(from, L"config"), join_path(to, L"config"), throttle)) return false;
  // Config entries set aside by earlier runs are the user's as well.
  std::vector<plat::DirEntry> entries;
  if (!plat::list_directory(from, entries)) return false;
  for (const plat::DirEntry& entry : entries) {
    if (is_set_aside_config(entry.name) &&
        !copy_tree(join_path(from, entry.name), join_path(to, entry.name), nullptr))
      return false;
  }
  return true;
}
