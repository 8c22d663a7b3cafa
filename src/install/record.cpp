// The install record: the uninstaller copy and install-info.json at the top of an installation.
#include "install/record.h"

#include <nlohmann/json.hpp>

#include "common/filetree.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/state.h"
#include "common/strings.h"
#include "package/payload.h"
#include "platform/platform.h"

std::string installed_version() {
  // An online install knows which release it downloaded: recording another one would tell the
  // application (and whoever looks) a version that is not there.
  const int32_t chosen = release_catalogue.selected;
  if (run_mode == RunMode::Online && chosen >= 0 &&
      static_cast<size_t>(chosen) < release_catalogue.entries.size() &&
      !release_catalogue.entries[static_cast<size_t>(chosen)].version.empty())
    return release_catalogue.entries[static_cast<size_t>(chosen)].version;
  return carried_release;   // the release an offline installer carries, and an update package is taken to be
}

std::string install_record_text(const std::wstring& install_dir, const std::string& version) {
  nlohmann::json record = nlohmann::json::object();   // members kept sorted by key
  record["install_dir"] = plat::wide_to_utf8(install_dir);
  record["app_exe"] = "bin/Morvell.exe";
  record["uninstaller"] = "bin/Morvell-Uninstall.exe";
  record["version"] = version;
  // JSON holds only UTF-8: a byte of the folder's name that does not decode is written as U+FFFD.
  return record.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Both files are written beside their place and renamed over it only when whole, so a run that is
// killed or finds the disk full never leaves a cut-short uninstaller or record behind.
static const wchar_t kPartial[] = L".partial";

bool write_install_record(const std::wstring& install_dir) { return write_install_record(install_dir, install_dir); }

bool write_install_record(const std::wstring& install_dir, const std::wstring& into) {
  // Both files go into the installation itself: a "bin" that is a link (or anything but a folder)
  // could carry the uninstaller somewhere else, so nothing is written through it.
  const plat::PathKind bin = plat::path_kind(join_path(into, L"bin"));
  if (bin != plat::PathKind::None && bin != plat::PathKind::Directory) return false;
  const std::wstring own = plat::own_executable_path();
  const std::wstring uninstaller = join_path(join_path(into, L"bin"), L"Morvell-Uninstall.exe");
  if (to_lower_wide(own) != to_lower_wide(uninstaller)) {
    // An offline installer leaves its package behind: the uninstaller is the program part alone,
    // made executable. Anything else is copied whole, keeping the program's mode.
    const std::wstring partial = uninstaller + kPartial;
    uint64_t payload_offset = 0, payload_length = 0;
    bool copied = false;
    // A trailer that leaves no whole program before its package (a crafted one) gets the whole
    // file instead: an uninstaller that cannot start would leave an installation nobody can remove.
    if (!own.empty() && find_carried_payload(own, payload_offset, payload_length) &&
        program_part_is_whole(own, payload_offset))
      copied = copy_program_part(own, payload_offset, partial, [](uint64_t) { pump_events(); }) &&
               plat::make_executable(partial);
    else if (!own.empty())
      copied = copy_file_with_progress(own, partial, nullptr, 0);
    if (!copied || !plat::rename_replacing(partial, uninstaller)) {
      log_failure(L"无法写入卸载程序：" + uninstaller, true);
      plat::delete_file(partial);
      return false;
    }
  }
  const std::string text = install_record_text(install_dir);
  const std::wstring record = join_path(into, L"install-info.json");
  if (!write_file_bytes(record + kPartial, text) || !plat::rename_replacing(record + kPartial, record)) {
    log_failure(L"无法写入安装记录：" + record, true);
    plat::delete_file(record + kPartial);
    return false;
  }
  log_line("已写入安装记录：" + plat::wide_to_utf8(record));
  return true;
}
