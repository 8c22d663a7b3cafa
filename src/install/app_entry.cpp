// The installation's entry in the system's list of programs, made from what the installation is:
// its folder, its program, its uninstaller (quoted, with the option of each uninstall) and its size.
// A failure costs the install nothing: the backend reports it to the log.
#include "install/app_entry.h"

#include "common/digest.h"
#include "common/filetree.h"
#include "common/strings.h"
#include "install/record.h"
#include "platform/platform.h"

namespace {

std::wstring uninstaller_command(const std::wstring& install_dir, const wchar_t* option) {
  const std::wstring uninstaller = join_path(join_path(install_dir, L"bin"), L"Morvell-Uninstall.exe");
  return L"\"" + uninstaller + L"\" " + option;
}

uint32_t size_kib(const std::wstring& install_dir) {
  uint64_t files = 0, bytes = 0;
  count_tree(install_dir, files, bytes);
  const uint64_t kib = (bytes + 1023) / 1024;
  return kib > 0xffffffffu ? 0xffffffffu : static_cast<uint32_t>(kib);
}

// Today as YYYYMMDD, the form the list shows as the install date.
std::wstring today() {
  std::wstring date;
  for (char c : plat::local_time_text().substr(0, 10))
    if (c >= '0' && c <= '9') date += static_cast<wchar_t>(c);
  return date;
}

}  // namespace

std::wstring app_entry_key(const std::wstring& install_dir) {
  std::wstring spelt = to_lower_wide(clean_path_input(install_dir));
  for (wchar_t& c : spelt)
    if (c == L'/') c = L'\\';
  // The first eight bytes of the digest; all zero where no digest can be made.
  std::string digits = sha256_of_text(plat::wide_to_utf8(spelt)).substr(0, 16);
  if (digits.empty()) digits.assign(16, '0');
  const std::wstring key = L"Morvell-" + plat::utf8_to_wide(digits);
  return key;
}

void write_app_entry(const std::wstring& install_dir) {
  if (!plat::kKeepsProgramList) return;   // no tree walk for a list that is not there
  plat::UninstallEntry entry;
  entry.name = L"Morvell";
  entry.version = plat::utf8_to_wide(installed_version());
  entry.icon = join_path(join_path(install_dir, L"bin"), L"Morvell.exe");
  entry.location = install_dir;
  entry.uninstall_command = uninstaller_command(install_dir, L"--uninstall");
  entry.quiet_uninstall_command = uninstaller_command(install_dir, L"--silent-uninstall");
  entry.install_date = today();
  entry.size_kib = size_kib(install_dir);
  plat::write_uninstall_entry(app_entry_key(install_dir), entry);
}

void update_app_entry(const std::wstring& install_dir) {
  if (!plat::kKeepsProgramList) return;
  plat::update_uninstall_entry(app_entry_key(install_dir), plat::utf8_to_wide(installed_version()), size_kib(install_dir));
}

void remove_app_entry(const std::wstring& install_dir) {
  plat::remove_uninstall_entry(app_entry_key(install_dir));
}
