// Windows backend: fault seam, UTF-8/UTF-16 conversion, own path and arguments, environment, shell folders, time.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace plat {

const char kProgramSignature[] = "MZ";
const wchar_t kPathSeparator = L'\\';

std::wstring utf8_to_wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  // Flags 0: malformed input is not an error, the system puts U+FFFD in its place.
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
  return out;
}

std::string wide_to_utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
  return out;
}

std::wstring absolute_path(const std::wstring& path) {
  if (path.empty()) return path;
  // The system's own rule: relative to where we stand ("x", "\x", "C:x"), "." and ".." taken out.
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring out(size, L'\0');
  DWORD n = GetFullPathNameW(path.c_str(), size, &out[0], nullptr);
  if (n == 0 || n >= size) return path;
  out.resize(n);
  return out;
}

std::wstring own_executable_path() {
  // The classic 260-unit buffer: a path that does not fit (260 units or more) counts as unknown.
  wchar_t buffer[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::wstring();
  return std::wstring(buffer, n);
}

std::vector<std::string> program_arguments(int, char**) {
  // The narrow vector holds the arguments in the system's code page, which cannot spell every
  // name; the wide command line can.
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(wide_to_utf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

std::string environment_value(const char* name) {
  std::wstring wide_name = utf8_to_wide(name ? name : "");
  if (wide_name.empty()) return std::string();
  DWORD needed = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (needed == 0) return std::string();
  std::wstring value(needed, L'\0');
  DWORD n = GetEnvironmentVariableW(wide_name.c_str(), &value[0], needed);
  if (n == 0 || n >= needed) return std::string();
  value.resize(n);
  return wide_to_utf8(value);
}

std::wstring shell_folder(int folder) {
  wchar_t buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, buffer))) return std::wstring();
  return std::wstring(buffer);
}

std::vector<std::wstring> user_folders() {
  // CSIDL_PROFILE, DESKTOPDIRECTORY, PERSONAL, PROGRAMS, STARTMENU, APPDATA, LOCAL_APPDATA,
  // PROGRAM_FILES, PROGRAM_FILESX86, WINDOWS, SYSTEM, COMMON_DESKTOPDIRECTORY, COMMON_DOCUMENTS,
  // MYMUSIC, MYPICTURES, MYVIDEO, TEMPLATES, COMMON_MUSIC, COMMON_PICTURES, COMMON_VIDEO,
  // PROFILES (the folder of all users' profiles), COMMON_APPDATA, PROGRAM_FILES_COMMON.
  static const int kFolders[] = {0x0028, 0x0010, 0x0005, 0x0002, 0x000B, 0x001A, 0x001C, 0x0026,
                                 0x002A, 0x0024, 0x0025, 0x0019, 0x002E, 0x000D, 0x0027, 0x000E,
                                 0x0015, 0x0035, 0x0036, 0x0037, 0x003E, 0x0023, 0x002B};
  std::vector<std::wstring> folders;
  for (int folder : kFolders) {
    std::wstring path = shell_folder(folder);
    if (!path.empty()) folders.push_back(path);
  }
  // Downloads has no folder number: FOLDERID_Downloads.
  static const GUID kDownloads = {0x374DE290, 0x123F, 0x4565, {0x91, 0x64, 0x39, 0xC4, 0x92, 0x5E, 0x46, 0x7B}};
  PWSTR downloads = nullptr;
  if (SUCCEEDED(SHGetKnownFolderPath(kDownloads, 0, nullptr, &downloads)) && downloads) folders.push_back(downloads);
  CoTaskMemFree(downloads);
  // The public folder (FOLDERID_Public) has no folder number either.
  static const GUID kPublic = {0xDFDF76A2, 0xC82A, 0x4D63, {0x90, 0x6A, 0x56, 0x44, 0xAC, 0x45, 0x73, 0x85}};
  PWSTR shared = nullptr;
  if (SUCCEEDED(SHGetKnownFolderPath(kPublic, 0, nullptr, &shared)) && shared) folders.push_back(shared);
  CoTaskMemFree(shared);
  return folders;
}

std::wstring temporary_directory() {
  wchar_t buffer[MAX_PATH + 1] = {};
  DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH) return L".";
  std::wstring path(buffer, n);
  // GetTempPathW ends with a separator; the rest of the program joins names itself.
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

uint32_t tick_ms() { return static_cast<uint32_t>(GetTickCount()); }

void sleep_ms(uint32_t ms) { Sleep(ms); }

int64_t utc_seconds_now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  // 100 ns units since 1601-01-01; 11644473600 s lie between that and 1970-01-01.
  uint64_t units = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<int64_t>(units / 10000000u) - INT64_C(11644473600);
}

namespace win32 {

std::wstring native_separators(const std::wstring& path) {
  std::wstring out = path;
  for (auto& c : out)
    if (c == L'/') c = L'\\';
  return out;
}

ComApartment::ComApartment() {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  entered_ = (hr == S_OK || hr == S_FALSE);
}

ComApartment::~ComApartment() {
  if (entered_) CoUninitialize();
}

bool create_parents(const std::wstring& path) {
  // Creates every missing directory above `path` (not `path` itself).
  std::wstring native = native_separators(path);
  size_t cut = native.find_last_of(L'\\');
  if (cut == std::wstring::npos || cut == 0) return true;
  std::wstring parent = native.substr(0, cut);
  if (parent.size() == 2 && parent[1] == L':') return true;
  DWORD attributes = GetFileAttributesW(parent.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!create_parents(parent)) return false;
  return CreateDirectoryW(parent.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace win32

}  // namespace plat
