// A configuration backup left by an update of an earlier installer version (which copied config
// aside while it wrote over it): a copy of `config` and a manifest of what config held and what
// that update put there. Files go back by a rename out of the backup, so a run killed at any
// moment leaves each file either still in the backup or back in config. A file goes back only
// where config still holds what the manifest recorded (the package's file that update wrote over
// it) or nothing: anything else is a change the user made since, and it stays. A backup counts
// only when this user owns it and it has its manifest, and only when the manifest names every
// file in it; otherwise nothing of it is touched.
#include "install/config_backup.h"

#include <nlohmann/json.hpp>

#include <set>
#include <vector>

#include "common/digest.h"
#include "common/filetree.h"
#include "common/progress.h"
#include "common/strings.h"
#include "install/messages.h"
#include "install/ownership.h"
#include "install/rollback.h"
#include "install/update_journal.h"
#include "platform/platform.h"

namespace {

const wchar_t kManifestName[] = L"manifest.json";
const wchar_t kCopyName[] = L"config";
constexpr uint64_t kManifestLimit = 64u << 20;

// One recorded state of a file or link: what config must hold there to count as unchanged.
struct FileState {
  bool link = false;
  uint64_t size = 0;
  int64_t time = 0;
  std::string sha256;   // of a file's bytes; empty for a link
};

bool digest_of(const std::wstring& path, std::string& hex) { return sha256_of_file(path, hex, {}); }

// The state of the file or link at `path`; false for a folder, nothing, or a file not readable.
bool state_of(const std::wstring& path, FileState& state) {
  const plat::PathKind kind = plat::path_kind(path);
  if (kind != plat::PathKind::File && kind != plat::PathKind::Link) return false;
  state.link = kind == plat::PathKind::Link;
  state.sha256.clear();
  if (!plat::file_size(path, state.size) || !plat::modification_time(path, state.time)) return false;
  return state.link || digest_of(path, state.sha256);
}

// True when `entry` records `key` and it is exactly `state`. Throws on a malformed record.
bool recorded_as(const nlohmann::json& entry, const char* key, const FileState& state) {
  if (!entry.contains(key)) return false;
  const nlohmann::json& record = entry.at(key);
  return record.at("link").get<bool>() == state.link && record.at("size").get<uint64_t>() == state.size &&
         record.at("time").get<int64_t>() == state.time && record.at("sha256").get<std::string>() == state.sha256;
}

// The path an entry names; throws as the json library does when the entry has none.
std::string recorded_path(const nlohmann::json& entry) {
  const auto bytes = entry.find("path_bytes");
  if (bytes == entry.end()) return entry.at("path").get<std::string>();
  std::string relative;
  if (!base64_decode(bytes->get<std::string>(), relative)) return "";
  return relative;
}

bool read_manifest(const std::wstring& path, nlohmann::json& manifest) {
  std::string text;
  if (!read_small_file(path, kManifestLimit, text)) return false;
  manifest = nlohmann::json::parse(text, nullptr, false);
  return manifest.is_object() && manifest.contains("files") && manifest.at("files").is_array();
}

// True when something that is not a folder stands on the way from `root` down to `path`: the user
// put it there since, and a file cannot go back beneath it.
bool blocked(const std::wstring& root, const std::wstring& path) {
  for (std::wstring parent = parent_path(path); parent.size() > root.size(); parent = parent_path(parent)) {
    const plat::PathKind kind = plat::path_kind(parent);
    if (kind != plat::PathKind::None && kind != plat::PathKind::Directory) return true;
  }
  return false;
}

// Whether the backed-up file goes back to `target`: only where config still holds what the
// update that made the backup wrote there, or nothing.
bool goes_back(const nlohmann::json& entry, const std::wstring& config, const std::wstring& target) {
  if (plat::path_kind(target) == plat::PathKind::None) return !blocked(config, target);
  FileState now;
  if (!state_of(target, now)) return false;
  if (recorded_as(entry, "kept", now)) return false;   // config holds the user's file already
  return recorded_as(entry, "incoming", now);
}

bool put_back(const std::wstring& copy, const std::wstring& target) {
  create_directory_tree(parent_path(target));
  if (plat::is_read_only(target)) plat::clear_read_only(target);
  return plat::rename_replacing(copy, target);
}

// Every file and link below `root` (relative paths, "/" between names); false when unreadable.
bool files_below(const std::wstring& root, const std::string& prefix, std::set<std::string>& found) {
  std::vector<plat::DirEntry> entries;
  if (!plat::list_directory(root, entries)) return false;
  for (const plat::DirEntry& entry : entries) {
    const std::string relative = prefix + plat::wide_to_utf8(entry.name);
    if (entry.kind != plat::PathKind::Directory) found.insert(relative);
    else if (!files_below(join_path(root, entry.name), relative + "/", found)) return false;
  }
  return true;
}

// Whether the backup holds nothing but its manifest and copies the manifest names: a file it
// does not name cannot be shown restored or superseded, so then nothing of the backup is used.
// Throws on a malformed entry.
bool names_every_file(const nlohmann::json& entries, const std::wstring& backup) {
  std::vector<plat::DirEntry> top;
  if (!plat::list_directory(backup, top)) return false;
  for (const plat::DirEntry& entry : top)
    if (entry.name != kManifestName && entry.name != kCopyName) return false;
  const std::wstring copies = join_path(backup, kCopyName);
  std::set<std::string> found;
  if (plat::path_kind(copies) != plat::PathKind::None && !files_below(copies, "", found)) return false;
  for (const nlohmann::json& entry : entries) found.erase(recorded_path(entry));
  return found.empty();
}

// The backup tree, its copy and its manifest all belong to the user running us.
bool is_own_backup(const std::wstring& backup) {
  if (!plat::owned_by_current_user(backup)) return false;
  for (const wchar_t* name : {kCopyName, kManifestName}) {
    const std::wstring path = join_path(backup, name);
    if (plat::path_kind(path) != plat::PathKind::None && !plat::owned_by_current_user(path)) return false;
  }
  return true;
}

// Restores or drops every file of the backup by the rule, then removes it. False (the backup
// stays, `error` says where) when it cannot be read or a file could not be moved.
bool use_backup(const std::wstring& install_dir, std::wstring& error) {
  const std::wstring backup = config_backup_path(install_dir);
  const plat::PathKind kind = plat::path_kind(backup);
  if (kind == plat::PathKind::None) return true;
  if (!is_own_backup(backup)) {
    error = not_ours_message(backup);
    return false;
  }
  const std::wstring manifest_path = join_path(backup, kManifestName), copies = join_path(backup, kCopyName);
  const std::wstring config = join_path(install_dir, L"config");
  uint64_t files = 0, bytes = 0;
  nlohmann::json manifest;
  if (!read_manifest(manifest_path, manifest)) {
    // Only an emptied backup whose removal was cut short can do without its manifest.
    if (count_tree(backup, files, bytes) && files == 0) {
      remove_tree_in_process(backup);
      return true;
    }
    error = L"上次更新留下的用户配置备份无法核对，已保留在 " + backup + L"，请手动取回需要的文件并删除该备份后重试。";
    return false;
  }
  const nlohmann::json& entries = manifest.at("files");
  bool ok = true;
  try {
    ok = names_every_file(entries, backup);
  } catch (const nlohmann::json::exception&) {
    ok = false;
  }
  pulse_progress(kRestoringConfigStatus);
  for (size_t i = 0; ok && i < entries.size(); ++i) {
    try {
      const std::string relative = recorded_path(entries[i]);
      const std::wstring copy = path_below(copies, relative), target = path_below(config, relative);
      if (copy.empty()) {
        ok = false;   // a path that would leave the backup is not followed
      } else if (plat::path_kind(copy) == plat::PathKind::None) {
        // restored or dropped by an earlier run
      } else if (goes_back(entries[i], config, target)) {
        ok = put_back(copy, target);
      } else {
        ok = plat::delete_file(copy);
      }
    } catch (const nlohmann::json::exception&) {
      ok = false;
    }
    pump_events();
  }
  if (!ok) {
    error = kConfigBackupFailed + config_backup_kept_note(install_dir);
    return false;
  }
  pulse_progress(kRemovingConfigBackupStatus);
  plat::delete_file(manifest_path);
  remove_tree_in_process(backup);
  return true;
}

}  // namespace

std::wstring config_backup_path(const std::wstring& install_dir) {
  return join_path(install_dir, L"Morvell-Update-Config-Backup");
}

std::wstring config_backup_kept_note(const std::wstring& install_dir) {
  return L"用户配置备份已保留在 " + config_backup_path(install_dir) + L"。";
}

bool settle_config(const std::wstring& install_dir, std::wstring& error) {
  // A backup cut short was being made before anything was written to config: config is whole.
  const std::wstring partial = config_backup_path(install_dir) + L".partial";
  if (plat::path_kind(partial) != plat::PathKind::None) {
    if (!plat::owned_by_current_user(partial)) {
      error = not_ours_message(partial);
      return false;
    }
    remove_tree_in_process(partial);
  }
  return use_backup(install_dir, error);
}
