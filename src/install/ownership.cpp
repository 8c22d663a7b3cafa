// Ownership of install locations. An installation made here always has its bin/Morvell.exe and
// its install-info.json naming the folder itself; a work tree is made by this user and marked
// before the first file goes into it. What a file merely says proves nothing on its own: the
// owner and the identity of what it names do.
#include "install/ownership.h"

#include <nlohmann/json.hpp>

#include <vector>

#include "common/external.h"
#include "common/filetree.h"
#include "common/strings.h"
#include "platform/platform.h"

const wchar_t kStagingMark[] = L".morvell-staging";

namespace {

const wchar_t kDiscardName[] = L".morvell-discard";

// Every name the installer keeps for itself at the top of an installation. The record is written
// by the installer alone: one that came with the package would make a half-unpacked tree look
// like an installation.
const wchar_t* const kInstallerNames[] = {
    kStagingMark,
    kDiscardName,
    L"install-info.json",
    L"install-info.json.partial",
    L"Morvell-Update-Temp",
    L"Morvell-Update-Config-Backup",
    L"Morvell-Update-Config-Backup.partial",
    L"Morvell-Update-Rollback",
};

bool owned_directory(const std::wstring& path) {
  return plat::path_kind(path) == plat::PathKind::Directory && plat::owned_by_current_user(path);
}

// The record holds the four members the installer writes, of the kinds it writes them.
bool read_record(const std::wstring& path, std::string& install_dir) {
  std::string text;
  if (!plat::owned_by_current_user(path) || !read_small_file(path, 64 * 1024, text)) return false;
  const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
  if (!record.is_object() || record.size() != 4) return false;
  const auto member = [&](const char* key) -> const nlohmann::json* {
    const auto found = record.find(key);
    return found != record.end() && found->is_string() ? &*found : nullptr;
  };
  const nlohmann::json *app = member("app_exe"), *dir_member = member("install_dir"),
                       *uninstaller = member("uninstaller"), *version = member("version");
  if (!app || !dir_member || !uninstaller || !version || *app != "bin/Morvell.exe" ||
      *uninstaller != "bin/Morvell-Uninstall.exe" || version->get<std::string>().empty())
    return false;
  install_dir = dir_member->get<std::string>();
  return true;
}

}  // namespace

std::wstring not_ours_message(const std::wstring& path) {
  return path + L" 不是本安装程序为当前用户留下的，已原样保留。请检查并移走它后重试。";
}

bool is_installer_name(const std::wstring& name) {
  for (const wchar_t* own : kInstallerNames)
    if (plat::same_path_text(name, own)) return true;
  return false;
}

bool is_recorded_installation(const std::wstring& dir, const std::wstring& record) {
  std::string recorded;
  if (!owned_directory(dir) || !read_record(record.empty() ? join_path(dir, L"install-info.json") : record, recorded))
    return false;
  if (plat::same_file(plat::utf8_to_wide(recorded), dir)) return true;
  // A folder whose name holds bytes that are not UTF-8 is recorded as the user sees it, with
  // U+FFFD in their place: it names this folder when that shown form is this folder's.
  return recorded.find("\xEF\xBF\xBD") != std::string::npos && recorded == display_text(plat::wide_to_utf8(dir));
}

bool is_installation(const std::wstring& dir) {
  return is_recorded_installation(dir) &&
         plat::path_kind(join_path(join_path(dir, L"bin"), L"Morvell.exe")) == plat::PathKind::File;
}

bool is_empty_directory(const std::wstring& path) {
  std::vector<plat::DirEntry> entries;
  return plat::path_kind(path) == plat::PathKind::Directory && plat::list_directory(path, entries) && entries.empty();
}

bool is_own_marked_tree(const std::wstring& path) {
  return owned_directory(path) && owned_directory(join_path(path, kStagingMark));
}

bool is_own_work_tree(const std::wstring& path) {
  return (owned_directory(path) && is_empty_directory(path)) || is_own_marked_tree(path);
}

bool mark_staging_tree(const std::wstring& staging) {
  const std::wstring mark = join_path(staging, kStagingMark);
  if (plat::path_kind(staging) == plat::PathKind::None && plat::make_directory(staging) == plat::MkdirResult::Failed)
    return false;
  if (!owned_directory(staging)) return false;
  return create_directory_tree(mark) && owned_directory(mark);
}

void unmark_tree(const std::wstring& dir) { plat::remove_empty_directory(join_path(dir, kStagingMark)); }

void discard_work_tree_contents(const std::wstring& path, const std::wstring& status) {
  if (!mark_staging_tree(path)) return;   // left as it is: a later run refuses it rather than guess
  // Everything but the mark goes first; with a status, it is gathered in one folder for the
  // external remover, so that the window stays live however large the tree.
  const std::wstring bulk = join_path(path, kDiscardName);
  std::vector<plat::DirEntry> entries;
  if (plat::list_directory(path, entries)) {
    for (const plat::DirEntry& entry : entries) {
      if (entry.name == kStagingMark || entry.name == kDiscardName) continue;
      const std::wstring item = join_path(path, entry.name);
      if (status.empty() || !create_directory_tree(bulk) || !plat::rename_replacing(item, join_path(bulk, entry.name)))
        remove_tree_in_process(item);
    }
  }
  if (plat::path_kind(bulk) != plat::PathKind::None) {
    if (status.empty())
      remove_tree_in_process(bulk);
    else
      remove_tree_with_tool(bulk, status);
  }
  // Whatever an unpacker put into the mark itself goes too: the mark must be able to go last.
  const std::wstring mark = join_path(path, kStagingMark);
  std::vector<plat::DirEntry> left;
  if (plat::list_directory(mark, left))
    for (const plat::DirEntry& entry : left) remove_tree_in_process(join_path(mark, entry.name));
  if (plat::list_directory(path, left) && left.size() == 1 && left[0].name == kStagingMark) unmark_tree(path);
}

void discard_work_tree(const std::wstring& path, const std::wstring& status) {
  if (plat::path_kind(path) != plat::PathKind::Directory) {
    remove_tree_in_process(path);
    return;
  }
  if (!mark_staging_tree(path)) return;
  discard_work_tree_contents(path, status);
  plat::remove_empty_directory(path);
}

bool install_target_is_ours(const std::wstring& install_dir, std::wstring& error) {
  if (plat::path_kind(install_dir) == plat::PathKind::None) return true;
  if (is_user_folder(install_dir)) {
    error = kUserFolderRefused;
    return false;
  }
  if (is_empty_directory(install_dir) || is_own_marked_tree(install_dir) || is_installation(install_dir)) return true;
  error = kNotAnInstallation;
  return false;
}

bool install_location_is_ours(const std::wstring& install_dir, const std::wstring& staging,
                              const std::wstring& backup, const std::wstring& journal, std::wstring& error) {
  if (!install_target_is_ours(install_dir, error)) return false;
  // Siblings of the work names that this user's installer did not make stop the run untouched.
  for (const std::wstring& sibling : {staging, backup}) {
    if (plat::path_kind(sibling) != plat::PathKind::None && !is_own_work_tree(sibling)) {
      error = not_ours_message(sibling);
      return false;
    }
  }
  if (plat::path_kind(journal) != plat::PathKind::None) {
    error = not_ours_message(journal);
    return false;
  }
  return true;
}

bool is_user_folder(const std::wstring& dir) {
  // A root is its own parent.
  if (plat::same_file(dir, join_path(dir, L".."))) return true;
  for (const std::wstring& folder : plat::user_folders())
    if (plat::same_file(dir, folder)) return true;
  return false;
}
