// Writing an update over the installation in place. Nothing here copies: every file of the
// package is renamed into its place and every entry it displaces is renamed into the rollback
// area, each step journaled before it is taken.
#include "install/update_writer.h"

#include <vector>

#include "common/filetree.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/strings.h"
#include "install/config_entries.h"
#include "install/ownership.h"
#include "install/rollback.h"
#include "install/update_journal.h"
#include "platform/platform.h"

namespace {

std::string child_of(const std::string& folder, const std::wstring& name) {
  return folder.empty() ? plat::wide_to_utf8(name) : folder + "/" + plat::wide_to_utf8(name);
}

class Writer {
 public:
  Writer(const std::wstring& staging, const std::wstring& install_dir, UpdateRollback& rollback,
         ProgressThrottle& throttle)
      : staging_(staging), install_dir_(install_dir), rollback_(rollback), throttle_(throttle),
        own_(plat::own_executable_path()), own_name_(file_name_of(own_)) {}

  bool folder(const std::string& relative, bool in_config) {
    std::vector<plat::DirEntry> entries;
    if (!plat::list_directory(relative.empty() ? staging_ : path_below(staging_, relative), entries)) return false;
    for (const plat::DirEntry& entry : entries) {
      if (relative.empty() && entry.name == kStagingMark) continue;
      const bool config = in_config || (relative.empty() && entry.name == L"config");
      if (!write(child_of(relative, entry.name), entry.kind == plat::PathKind::Directory, config)) return false;
      pump_events();
    }
    return true;
  }

 private:
  bool write(const std::string& relative, bool is_folder, bool in_config) {
    const std::wstring from = path_below(staging_, relative), to = path_below(install_dir_, relative);
    const EntryShape there = entry_shape(to);
    if (is_folder) {
      if (there == EntryShape::Folder) return folder(relative, in_config);
      if (in_config && there == EntryShape::FolderLink) {
        log_line("用户配置 " + plat::wide_to_utf8(to) + " 是指向文件夹的链接，保持不变，新版本带来的默认配置不写入其中");
        return dropped(from);
      }
      if (there != EntryShape::None && !make_room(relative, to, there, in_config)) return false;
      return rollback_.make_folder(relative) && folder(relative, in_config);
    }
    // The running program's file is never replaced; the package's copy of it is dropped.
    if (there == EntryShape::File && is_running_program(to)) return dropped(from);
    // In config the user's own file (or link, or a program's pipe) stays; the package's goes.
    if (in_config && there != EntryShape::None && there != EntryShape::Folder) return dropped(from);
    if (there != EntryShape::None && !make_room(relative, to, there, in_config)) return false;
    if (!rollback_.put(from, relative)) return false;
    throttle_.finish_item(1);
    return true;
  }

  // Clears the place of a package entry: the user's config entry is renamed beside it, anything
  // else of the installation goes into the rollback area.
  bool make_room(const std::string& relative, const std::wstring& to, EntryShape there, bool in_config) {
    if (!in_config) return rollback_.move_aside(relative);
    const std::wstring aside = free_aside_name(parent_path(to), file_name_of(to), there == EntryShape::Folder);
    if (aside.empty()) return false;
    const size_t slash = relative.rfind('/');
    const std::string aside_relative = child_of(slash == std::string::npos ? "" : relative.substr(0, slash), file_name_of(aside));
    log_line("用户配置 " + plat::wide_to_utf8(to) + " 与新版本的同名项目类型不同，已改名保留为 " + plat::wide_to_utf8(aside));
    return rollback_.rename_aside(relative, aside_relative);
  }

  // Looked up only for a file of the running program's name: the rest cannot be it.
  bool is_running_program(const std::wstring& path) const {
    return !own_.empty() && plat::same_path_text(file_name_of(path), own_name_) && plat::same_file(path, own_);
  }

  bool dropped(const std::wstring& from) {
    uint64_t files = 0, bytes = 0;
    count_tree(from, files, bytes);
    throttle_.finish_item(files);
    return true;
  }

  const std::wstring& staging_;
  const std::wstring& install_dir_;
  UpdateRollback& rollback_;
  ProgressThrottle& throttle_;
  const std::wstring own_, own_name_;
};

}  // namespace

bool write_update(const std::wstring& staging, const std::wstring& install_dir, UpdateRollback& rollback,
                  ProgressThrottle& throttle) {
  return Writer(staging, install_dir, rollback, throttle).folder("", false);
}
