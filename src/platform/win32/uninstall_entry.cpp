// Windows backend: the installation's entry in Apps & features, one per-user key under the
// system's Uninstall key. Only that key is ever written, and nothing is read back from it.
#include <windows.h>

#include <string>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace plat {

const bool kKeepsProgramList = true;

namespace {

const wchar_t kUninstallRoot[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// Each registry call returns its error instead of leaving it for GetLastError.
bool failed(const char* op, const std::wstring& key, LONG code) {
  return code != ERROR_SUCCESS && !refused(op, L"HKCU\\" + key, static_cast<unsigned long>(code));
}

LONG set_text(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

LONG set_number(HKEY key, const wchar_t* name, uint32_t value) {
  const DWORD number = value;
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
}

// The version and size, the values an update changes.
LONG set_version_and_size(HKEY key, const std::wstring& version, uint32_t size_kib) {
  LONG code = set_text(key, L"DisplayVersion", version);
  return code != ERROR_SUCCESS ? code : set_number(key, L"EstimatedSize", size_kib);
}

}  // namespace

bool write_uninstall_entry(const std::wstring& name, const UninstallEntry& entry) {
  const std::wstring path = kUninstallRoot + name;
  if (injected("write_uninstall_entry", path)) return false;
  HKEY key = nullptr;
  LONG code = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (failed("write_uninstall_entry", path, code)) return false;
  const std::pair<const wchar_t*, const std::wstring*> texts[] = {
      {L"DisplayName", &entry.name},          {L"DisplayIcon", &entry.icon},
      {L"InstallLocation", &entry.location}, {L"UninstallString", &entry.uninstall_command},
      {L"QuietUninstallString", &entry.quiet_uninstall_command}, {L"InstallDate", &entry.install_date}};
  for (const auto& [value, text] : texts)
    if (code == ERROR_SUCCESS) code = set_text(key, value, *text);
  if (code == ERROR_SUCCESS) code = set_version_and_size(key, entry.version, entry.size_kib);
  if (code == ERROR_SUCCESS) code = set_number(key, L"NoModify", 1);
  if (code == ERROR_SUCCESS) code = set_number(key, L"NoRepair", 1);
  RegCloseKey(key);
  return !failed("write_uninstall_entry", path, code);
}

bool update_uninstall_entry(const std::wstring& name, const std::wstring& version, uint32_t size_kib) {
  const std::wstring path = kUninstallRoot + name;
  if (injected("update_uninstall_entry", path)) return false;
  HKEY key = nullptr;
  // Opened, never made: an entry of two values would be a stranger in the list.
  LONG code = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &key);
  if (code == ERROR_FILE_NOT_FOUND) return false;
  if (failed("update_uninstall_entry", path, code)) return false;
  code = set_version_and_size(key, version, size_kib);
  RegCloseKey(key);
  return !failed("update_uninstall_entry", path, code);
}

bool remove_uninstall_entry(const std::wstring& name) {
  const std::wstring path = kUninstallRoot + name;
  if (injected("remove_uninstall_entry", path)) return false;
  const LONG code = RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
  return code == ERROR_FILE_NOT_FOUND || !failed("remove_uninstall_entry", path, code);
}

}  // namespace plat
