// The installations' entries in Apps & features, read back from the registry by the Windows tests.
#pragma once

#include <windows.h>

#include <cwctype>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct AppEntry {
  std::wstring key;                          // the full path below HKEY_CURRENT_USER
  std::map<std::wstring, std::wstring> texts;   // REG_SZ values
  std::map<std::wstring, DWORD> numbers;        // REG_DWORD values
  int others = 0;                               // values of any other type
};

inline const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

inline std::wstring folded(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// Every value of the key `path` below HKEY_CURRENT_USER.
inline AppEntry read_app_entry(const std::wstring& path) {
  AppEntry entry;
  entry.key = path;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return entry;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD name_size = 256, type = 0, size = 0;
    BYTE data[4096];
    size = sizeof data;
    if (RegEnumValueW(key, i, name, &name_size, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    if (type == REG_SZ)
      entry.texts[name] = std::wstring(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t)).c_str();
    else if (type == REG_DWORD && size == sizeof(DWORD))
      entry.numbers[name] = *reinterpret_cast<const DWORD*>(data);
    else
      ++entry.others;
  }
  RegCloseKey(key);
  return entry;
}

// The entries whose InstallLocation is `location`, letter case aside.
inline std::vector<AppEntry> app_entries_at(const std::wstring& location) {
  std::vector<AppEntry> found;
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, KEY_READ, &root) != ERROR_SUCCESS) return found;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD size = 256;
    if (RegEnumKeyExW(root, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    AppEntry entry = read_app_entry(std::wstring(kUninstallKey) + L"\\" + name);
    if (folded(entry.texts[L"InstallLocation"]) == folded(location)) found.push_back(entry);
  }
  RegCloseKey(root);
  return found;
}

// Sets one value of an entry as another program might have: a text or a number.
inline void set_entry_text(const AppEntry& entry, const wchar_t* name, const std::wstring& text) {
  RegSetKeyValueW(HKEY_CURRENT_USER, entry.key.c_str(), name, REG_SZ, text.c_str(),
                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}
inline void set_entry_number(const AppEntry& entry, const wchar_t* name, DWORD number) {
  RegSetKeyValueW(HKEY_CURRENT_USER, entry.key.c_str(), name, REG_DWORD, &number, sizeof number);
}

// The size an entry gives for the tree `files` (relative name to contents), in KiB rounded up.
inline DWORD kib_of(const std::map<std::string, std::string>& files) {
  unsigned long long bytes = 0;
  for (const auto& [name, contents] : files) bytes += contents.size();
  return static_cast<DWORD>((bytes + 1023) / 1024);
}

// Today as the entries write it: YYYYMMDD.
inline std::wstring today_yyyymmdd() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t text[16];
  swprintf(text, 16, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
  return text;
}

}  // namespace testing_support
