// The install record: the uninstaller copy and install-info.json at the top of an installation.
#include "install/record.h"

#include <nlohmann/json.hpp>

#include "common/log.h"
#include "common/strings.h"
#include "install/filetree.h"
#include "platform/platform.h"

std::string install_record_text(const std::wstring& install_dir) {
  nlohmann::json record = nlohmann::json::object();   // members kept sorted by key
  record["install_dir"] = wide_to_utf8(install_dir);
  record["app_exe"] = "bin/Morvell.exe";
  record["uninstaller"] = "bin/Morvell-Uninstall.exe";
  record["version"] = "6.1.17";
  return record.dump(2, ' ', false, nlohmann::json::error_handler_t::strict);
}

// Both files are written beside their place and renamed over it only when whole, so a run that is
// killed or finds the disk full never leaves a cut-short uninstaller or record behind.
static const wchar_t kPartial[] = L".partial";

void write_install_record(const std::wstring& install_dir) {
  const std::wstring own = own_exe_path();
  const std::wstring uninstaller = join_path(join_path(install_dir, L"bin"), L"Morvell-Uninstall.exe");
  if (to_lower_wide(own) != to_lower_wide(uninstaller)) {
    // The copy keeps the program's mode, so the uninstaller stays executable.
    const std::wstring partial = uninstaller + kPartial;
    if (own.empty() || !copy_file_with_progress(own, partial, nullptr, 0) ||
        !plat::rename_replacing(partial, uninstaller)) {
      log_failure(L"无法写入卸载程序：" + uninstaller, true);
      plat::delete_file(partial);
      return;
    }
  }
  std::string text;
  try {
    text = install_record_text(install_dir);
  } catch (const nlohmann::json::exception&) {
    return;   // text that is not valid UTF-8 cannot be written as JSON
  }
  const std::wstring record = join_path(install_dir, L"install-info.json");
  if (!write_file_bytes(record + kPartial, text) || !plat::rename_replacing(record + kPartial, record)) {
    log_failure(L"无法写入安装记录：" + record, true);
    plat::delete_file(record + kPartial);
    return;
  }
  log_line("已写入安装记录：" + wide_to_utf8(record));
}
