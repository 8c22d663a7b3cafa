// A configuration backup as an update of an earlier installer version left it in an
// installation: that version copied `config` aside with a manifest of what config held ("kept")
// and what the package would put there ("incoming"), then wrote the package's files over config.
// Those runs are gone, their leftovers are not: the tests make one to see it settled.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "common/strings.h"
#include "platform/platform.h"
#include "support/helpers.h"

namespace testing_support {

// The recorded state of the file or link at `path`, as the manifest holds it.
inline nlohmann::json recorded_state(const std::string& path) {
  const std::wstring wide = W(path);
  const bool link = plat::path_kind(wide) == plat::PathKind::Link;
  uint64_t size = 0;
  int64_t time = 0;
  plat::file_size(wide, size);
  plat::modification_time(wide, time);
  std::string hex;
  if (!link) {
    const std::string bytes = read_text(path);
    plat::Sha256* digest = plat::sha256_begin();
    unsigned char sum[32];
    plat::sha256_add(digest, bytes.data(), bytes.size());
    plat::sha256_finish(digest, sum);
    for (unsigned char c : sum) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
  }
  return {{"link", link}, {"size", size}, {"time", time}, {"sha256", hex}};
}

// Copies `install_dir`/config into the backup with its manifest; the files of `incoming` (the
// package's config) are recorded where they would go. The caller then writes them over config.
inline bool leave_config_backup(const std::string& install_dir, const std::string& incoming) {
  const std::string backup = install_dir + "/Morvell-Update-Config-Backup";
  if (run_shell("mkdir -p '" + backup + "' && cp -a '" + install_dir + "/config' '" + backup + "/config'") != 0)
    return false;
  nlohmann::json files = nlohmann::json::array();
  for (const auto& item : snapshot_tree(install_dir + "/config")) {
    if (item.first.back() == '/') continue;   // a folder: only files are recorded
    nlohmann::json entry = {{"path", item.first}, {"kept", recorded_state(install_dir + "/config/" + item.first)}};
    if (exists(incoming + "/" + item.first)) entry["incoming"] = recorded_state(incoming + "/" + item.first);
    files.push_back(entry);
  }
  write_text(backup + "/manifest.json", nlohmann::json{{"files", files}}.dump(1));
  return true;
}

}  // namespace testing_support
