// The configuration backup of the update run. The backup folder holds a copy of `config` and a
// manifest; it is made under a temporary name and renamed when whole, so a backup found later
// always has its manifest. Files go back by a rename out of the backup, so a run killed at any
// moment leaves each file either still in the backup or back in config. A later run replaces a
// file in config only where it still holds what the manifest recorded (the user's file as it was
// backed up, or the package's file the update wrote over it) or nothing: anything else is a
// change the user made since, and it stays.
#include "install/config_backup.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <vector>

#include "common/progress.h"
#include "common/strings.h"
#include "install/filetree.h"
#include "platform/platform.h"

namespace {

const wchar_t kBackupFailed[] = L"无法备份当前配置，请确认安装目录可读写后重试。";
const wchar_t kManifestName[] = L"manifest.json";
const wchar_t kCopyName[] = L"config";
const std::wstring kSetAsideName = L"config.user-file";
constexpr uint64_t kManifestLimit = 64u << 20;

// One recorded state of a file or link: what config must hold there to count as unchanged.
struct FileState {
  bool link = false;
  uint64_t size = 0;
  int64_t time = 0;
  std::string sha256;   // of a file's bytes; empty for a link
};

bool digest_of(const std::wstring& path, std::string& hex) {
  plat::FileHandle file = plat::open_for_reading(path);
  if (file == plat::kNoFile) return false;
  plat::Sha256* digest = plat::sha256_begin();
  std::vector<char> buffer(65536);
  int64_t count = 0;
  bool ok = digest != nullptr;
  while (ok && (count = plat::read_some(file, buffer.data(), buffer.size())) > 0)
    ok = plat::sha256_add(digest, buffer.data(), static_cast<size_t>(count));
  plat::close_file(file);
  unsigned char sum[32];
  if (!ok || count < 0) {
    if (digest) plat::sha256_discard(digest);
    return false;
  }
  if (!plat::sha256_finish(digest, sum)) return false;
  static const char kHex[] = "0123456789abcdef";
  hex.clear();
  for (unsigned char byte : sum) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return true;
}

// The state of the file or link at `path`; false for a folder, nothing, or a file not readable.
bool state_of(const std::wstring& path, FileState& state) {
  const plat::PathKind kind = plat::path_kind(path);
  if (kind != plat::PathKind::File && kind != plat::PathKind::Link) return false;
  state.link = kind == plat::PathKind::Link;
  state.sha256.clear();
  if (!plat::file_size(path, state.size) || !plat::modification_time(path, state.time)) return false;
  return state.link || digest_of(path, state.sha256);
}

nlohmann::json state_json(const FileState& state) {
  return {{"link", state.link}, {"size", state.size}, {"time", state.time}, {"sha256", state.sha256}};
}

// True when `entry` records `key` and it is exactly `state`. Throws on a malformed record.
bool recorded_as(const nlohmann::json& entry, const char* key, const FileState& state) {
  if (!entry.contains(key)) return false;
  const nlohmann::json& record = entry.at(key);
  return record.at("link").get<bool>() == state.link && record.at("size").get<uint64_t>() == state.size &&
         record.at("time").get<int64_t>() == state.time && record.at("sha256").get<std::string>() == state.sha256;
}

// Relative paths ("sub/a.ini") of every file and link under `root`.
bool list_files(const std::wstring& root, const std::string& prefix, std::vector<std::string>& paths) {
  std::vector<plat::DirEntry> entries;
  if (!plat::list_directory(root, entries)) return false;
  for (const plat::DirEntry& entry : entries) {
    const std::string relative = prefix + wide_to_utf8(entry.name);
    if (entry.kind == plat::PathKind::Special) continue;   // pipes and sockets are not carried
    if (entry.kind != plat::PathKind::Directory) paths.push_back(relative);
    else if (!list_files(join_path(root, entry.name), relative + "/", paths)) return false;
    pump_events();
  }
  return true;
}

// A name is bytes on some systems and JSON holds only UTF-8: a path that is not UTF-8 is recorded
// in base64 under its own key, so that it comes back as the very same bytes.
void record_path(nlohmann::json& entry, const std::string& relative) {
  if (display_text(relative) == relative)
    entry["path"] = relative;
  else
    entry["path_bytes"] = base64_encode(relative);
}

// The path an entry names; throws as the json library does when the entry has none.
std::string recorded_path(const nlohmann::json& entry) {
  const auto bytes = entry.find("path_bytes");
  if (bytes == entry.end()) return entry.at("path").get<std::string>();
  std::string relative;
  if (!base64_decode(bytes->get<std::string>(), relative)) return "";
  return relative;
}

// `relative` below `root`; empty when it would step out of it (a manifest is read, not trusted).
std::wstring under(const std::wstring& root, const std::string& relative) {
  std::wstring path = root;
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    const std::wstring part = utf8_to_wide(relative.substr(start, slash == std::string::npos ? slash : slash - start));
    if (part.empty() || part == L"." || part == L".." || part.find(plat::kPathSeparator) != std::wstring::npos)
      return L"";
    path = join_path(path, part);
    if (slash == std::string::npos) return path;
    start = slash + 1;
  }
}

bool read_manifest(const std::wstring& path, nlohmann::json& manifest) {
  plat::FileHandle file = plat::open_for_reading(path);
  if (file == plat::kNoFile) return false;
  std::string text;
  char buffer[65536];
  int64_t count = 0;
  while ((count = plat::read_some(file, buffer, sizeof buffer)) > 0 && text.size() < kManifestLimit)
    text.append(buffer, static_cast<size_t>(count));
  plat::close_file(file);
  if (count != 0) return false;
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

// Whether the backed-up file goes back to `target`. The run that made the backup puts back every
// file the user had; a later run only where config still holds what was recorded, or nothing.
bool goes_back(const nlohmann::json& entry, const std::wstring& config, const std::wstring& target, bool own_run) {
  if (plat::path_kind(target) == plat::PathKind::None) return own_run || !blocked(config, target);
  FileState now;
  if (!state_of(target, now)) return own_run;
  if (recorded_as(entry, "kept", now)) return false;   // config holds the user's file already
  return own_run || recorded_as(entry, "incoming", now);
}

bool put_back(const std::wstring& copy, const std::wstring& target) {
  create_directory_tree(parent_path(target));
  if (plat::is_read_only(target)) plat::clear_read_only(target);
  return plat::rename_replacing(copy, target);
}

// Restores or drops every file of the backup by the rule, then removes it. False (the backup
// stays, `error` says where) when it cannot be read or a file could not be moved.
bool use_backup(const std::wstring& install_dir, bool own_run, std::wstring& error) {
  const std::wstring backup = config_backup_path(install_dir);
  const plat::PathKind kind = plat::path_kind(backup);
  if (kind == plat::PathKind::None) return true;
  const std::wstring manifest_path = join_path(backup, kManifestName), copies = join_path(backup, kCopyName);
  const std::wstring config = join_path(install_dir, L"config");
  uint64_t files = 0, bytes = 0;
  nlohmann::json manifest;
  if (kind != plat::PathKind::Directory || !read_manifest(manifest_path, manifest)) {
    // Only an emptied backup whose removal was cut short can do without its manifest.
    if (kind == plat::PathKind::Directory && count_tree(backup, files, bytes) && files == 0) {
      delete_tree(backup);
      return true;
    }
    error = L"上次更新留下的用户配置备份无法核对，已保留在 " + backup + L"，请手动取回需要的文件并删除该备份后重试。";
    return false;
  }
  const nlohmann::json& entries = manifest.at("files");
  ProgressThrottle throttle;
  throttle.total = own_run ? std::max<uint64_t>(entries.size(), 1) : 0;   // 0: the bar pulses
  throttle.from = 0.9;
  throttle.to = 0.96;
  throttle.text = L"正在恢复用户配置...";
  throttle.update(0, true);
  bool ok = true;
  for (const nlohmann::json& entry : entries) {
    try {
      const std::string relative = recorded_path(entry);
      const std::wstring copy = under(copies, relative), target = under(config, relative);
      if (copy.empty()) {
        ok = false;   // a path that would leave the backup is not followed
      } else if (plat::path_kind(copy) == plat::PathKind::None) {
        // restored or dropped by an earlier run
      } else if (goes_back(entry, config, target, own_run)) {
        ok = put_back(copy, target) && ok;
      } else {
        ok = plat::delete_file(copy) && ok;
      }
    } catch (const nlohmann::json::exception&) {
      ok = false;
    }
    throttle.finish_item(1);
  }
  // A file the manifest does not name cannot be shown restored or superseded: the backup stays.
  if (ok && plat::path_kind(copies) != plat::PathKind::None)
    ok = count_tree(copies, files, bytes) && files == 0;
  if (!ok) {
    error = kBackupFailed + config_backup_kept_note(install_dir);
    return false;
  }
  pulse_progress(L"正在清理临时配置备份...");
  plat::delete_file(manifest_path);
  delete_tree(backup);
  return true;
}

// A `config` that is not a folder (a file or link of the user's) is renamed to a free name beside.
bool set_aside_config_file(const std::wstring& install_dir) {
  const std::wstring config = join_path(install_dir, L"config");
  const plat::PathKind kind = plat::path_kind(config);
  if (kind == plat::PathKind::None || kind == plat::PathKind::Directory) return true;
  for (int n = 1; n < 1000; ++n) {
    const std::wstring aside = join_path(install_dir, n == 1 ? kSetAsideName : kSetAsideName + L"-" + std::to_wstring(n));
    if (plat::path_kind(aside) == plat::PathKind::None) return plat::rename_replacing(config, aside);
  }
  return false;
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
  delete_tree(config_backup_path(install_dir) + L".partial");
  if (!set_aside_config_file(install_dir)) {
    error = kBackupFailed;
    return false;
  }
  return use_backup(install_dir, false, error);
}

bool back_up_config(const std::wstring& install_dir, const std::wstring& incoming, std::wstring& error) {
  const std::wstring config = join_path(install_dir, L"config");
  const std::wstring backup = config_backup_path(install_dir), partial = backup + L".partial";
  delete_tree(partial);
  std::vector<std::string> paths;
  bool ok = copy_tree_with_progress(config, join_path(partial, kCopyName), L"正在备份用户配置...", 0.64, 0.68) &&
            list_files(config, "", paths);
  nlohmann::json entries = nlohmann::json::array();
  for (size_t i = 0; ok && i < paths.size(); ++i) {
    FileState kept, arriving;
    ok = state_of(under(config, paths[i]), kept);
    nlohmann::json entry = {{"kept", state_json(kept)}};
    record_path(entry, paths[i]);
    const std::wstring replacement = under(incoming, paths[i]);
    if (!replacement.empty() && state_of(replacement, arriving)) entry["incoming"] = state_json(arriving);
    entries.push_back(entry);
    pump_events();
  }
  std::string text;
  try {
    if (ok) text = nlohmann::json{{"files", entries}}.dump(1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    ok = false;   // a name that is not valid UTF-8 cannot be recorded
  }
  ok = ok && write_file_bytes(join_path(partial, kManifestName), text) && plat::rename_replacing(partial, backup);
  if (!ok) {
    delete_tree(partial);
    error = kBackupFailed;
  }
  return ok;
}

bool restore_own_config_backup(const std::wstring& install_dir) {
  std::wstring unused;
  return use_backup(install_dir, true, unused);
}

bool carry_configuration(const std::wstring& from, const std::wstring& to) {
  const std::wstring config = join_path(from, L"config");
  if (plat::path_kind(config) == plat::PathKind::Directory &&
      !copy_tree_with_progress(config, join_path(to, L"config"), L"正在恢复用户配置...", 0.88, 0.94))
    return false;
  // Config files set aside by earlier runs are the user's as well.
  std::vector<plat::DirEntry> entries;
  if (!plat::list_directory(from, entries)) return false;
  for (const plat::DirEntry& entry : entries) {
    if (entry.name.compare(0, kSetAsideName.size(), kSetAsideName) == 0 &&
        !copy_tree(join_path(from, entry.name), join_path(to, entry.name), nullptr))
      return false;
  }
  return true;
}
