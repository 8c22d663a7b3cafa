// Ownership of install locations. An installation made here always has its bin/Morvell.exe and
// its install-info.json; a staging tree is marked before the first file is unpacked into it.
#include "install/ownership.h"

#include <nlohmann/json.hpp>

#include <vector>

#include "common/strings.h"
#include "install/external.h"
#include "install/filetree.h"
#include "platform/platform.h"

const wchar_t kNotAnInstallation[] = L"所选安装位置已存在且不是 Morvell 安装目录，请选择空文件夹或原安装目录。";
const char kSwapJournalText[] = "the previous installation is in the .old directory beside this file\n";

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
const wchar_t kBackupRefused[] = L"无法备份当前安装目录，请关闭正在运行的 Morvell 后重试。";

// The whole of a small file; false when it is not a file, cannot be read or passes `limit` bytes.
bool read_small_file(const std::wstring& path, size_t limit, std::string& text) {
  text.clear();
  if (plat::path_kind(path) != plat::PathKind::File) return false;
  plat::FileHandle file = plat::open_for_reading(path);
  if (file == plat::kNoFile) return false;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    int64_t n = plat::read_some(file, buffer, sizeof buffer);
    if (n <= 0 || text.size() + static_cast<size_t>(n) > limit) {
      ok = n == 0;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  plat::close_file(file);
  return ok;
}

bool read_record(const std::wstring& dir, nlohmann::json& record) {
  std::string text;
  if (!read_small_file(join_path(dir, L"install-info.json"), 64 * 1024, text)) return false;
  record = nlohmann::json::parse(text, nullptr, false);
  return record.is_object();
}

bool is_empty_directory(const std::wstring& path) {
  std::vector<plat::DirEntry> entries;
  return plat::path_kind(path) == plat::PathKind::Directory && plat::list_directory(path, entries) && entries.empty();
}

}  // namespace

bool is_installer_name(const std::wstring& name) {
  for (const wchar_t* own : kInstallerNames)
    if (plat::same_path_text(name, own)) return true;
  return false;
}

bool is_installation(const std::wstring& dir) {
  if (plat::path_kind(dir) != plat::PathKind::Directory) return false;
  nlohmann::json record;
  return plat::path_kind(join_path(join_path(dir, L"bin"), L"Morvell.exe")) == plat::PathKind::File ||
         read_record(dir, record);
}

bool is_replaceable(const std::wstring& path) {
  if (plat::path_kind(path) == plat::PathKind::None || is_empty_directory(path) || is_installation(path)) return true;
  return plat::path_kind(path) == plat::PathKind::Directory &&
         plat::path_kind(join_path(path, kStagingMark)) == plat::PathKind::Directory;
}

bool is_swap_journal(const std::wstring& path) {
  if (plat::path_kind(path) == plat::PathKind::None) return true;
  std::string text;
  // Empty: a run was killed between making the journal and writing it, before anything moved.
  return read_small_file(path, 4096, text) && (text == kSwapJournalText || text.empty());
}

bool is_open_journal(const std::wstring& path) {
  std::string text;
  return read_small_file(path, 4096, text) && text == kSwapJournalText;
}

bool mark_staging_tree(const std::wstring& staging) {
  const std::wstring mark = join_path(staging, kStagingMark);
  return create_directory_tree(staging) && create_directory_tree(mark) &&
         plat::path_kind(mark) == plat::PathKind::Directory;
}

void unmark_tree(const std::wstring& dir) { plat::remove_empty_directory(join_path(dir, kStagingMark)); }

void discard_tree(const std::wstring& path, const std::wstring& status) {
  if (plat::path_kind(path) != plat::PathKind::Directory) {
    delete_tree(path);
    return;
  }
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
        delete_tree(item);
    }
  }
  if (plat::path_kind(bulk) != plat::PathKind::None) {
    if (status.empty())
      delete_tree(bulk);
    else
      remove_tree(bulk, status);
  }
  // The mark goes only with the last of the rest: a tree left half removed is still the installer's.
  if (plat::list_directory(path, entries) && entries.size() == 1)
    plat::remove_empty_directory(join_path(path, kStagingMark));
  plat::remove_empty_directory(path);
}

bool install_location_is_ours(const std::wstring& install_dir, const std::wstring& staging,
                              const std::wstring& backup, const std::wstring& journal, std::wstring& error) {
  // An open journal of the installer's, with its backup, claims D as the half-swapped new tree.
  const bool claimed = is_open_journal(journal) &&
                       plat::path_kind(backup) == plat::PathKind::Directory && is_replaceable(backup);
  if (!claimed && !is_replaceable(install_dir)) {
    error = kNotAnInstallation;
    return false;
  }
  // Siblings of the same names that the installer did not make stop the run untouched.
  if (!is_replaceable(staging) || !is_replaceable(backup) || !is_swap_journal(journal)) {
    error = kBackupRefused;
    return false;
  }
  return true;
}

bool is_recorded_installation(const std::wstring& dir) {
  nlohmann::json record;
  if (!read_record(dir, record)) return false;
  auto named = record.find("install_dir");
  if (named == record.end() || !named->is_string()) return false;
  const std::string recorded = named->get<std::string>();
  if (plat::same_file(utf8_to_wide(recorded), dir)) return true;
  // A folder whose name holds bytes that are not UTF-8 is recorded as the user sees it, with
  // U+FFFD in their place: it names this folder when that shown form is this folder's.
  return recorded.find("\xEF\xBF\xBD") != std::string::npos && recorded == display_text(wide_to_utf8(dir));
}

bool is_user_folder(const std::wstring& dir) {
  // A root is its own parent.
  if (plat::same_file(dir, join_path(dir, L".."))) return true;
  for (const std::wstring& folder : plat::user_folders())
    if (plat::same_file(dir, folder)) return true;
  return false;
}
