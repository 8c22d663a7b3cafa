// The shared test helpers (support/helpers.h) on Windows: temporary folders, whole files, child
// programs and zips, with Win32 calls where the POSIX version uses the shell.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/strings.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/zip_writer.h"

namespace testing_support {

static std::wstring native(const std::string& path) {
  std::wstring wide = W(path);
  for (auto& c : wide)
    if (c == L'/') c = L'\\';
  return wide;
}

static void make_parents(const std::wstring& path) {
  size_t cut = path.find_last_of(L'\\');
  if (cut == std::wstring::npos || cut < 3) return;
  std::wstring parent = path.substr(0, cut);
  if (GetFileAttributesW(parent.c_str()) != INVALID_FILE_ATTRIBUTES) return;
  make_parents(parent);
  CreateDirectoryW(parent.c_str(), nullptr);
}

static void remove_all(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") remove_all(path + L"\\" + name);
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    RemoveDirectoryW(path.c_str());
  } else {
    DeleteFileW(path.c_str());
  }
}

TempDir::TempDir() {
  wchar_t base[MAX_PATH + 1] = {};
  DWORD n = GetTempPathW(MAX_PATH + 1, base);
  std::wstring root(base, n);
  while (!root.empty() && root.back() == L'\\') root.pop_back();
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::wstring candidate = root + L"\\morvell-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(++counter);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = U(candidate);
      return;
    }
  }
}

TempDir::~TempDir() {
  if (!path_.empty()) remove_all(native(path_));
}

std::wstring TempDir::wide(const std::string& name) const { return native(name.empty() ? path_ : path_ + "/" + name); }

void write_text(const std::string& path, const std::string& content) {
  std::wstring wide = native(path);
  make_parents(wide);
  FILE* f = _wfopen(wide.c_str(), L"wb");
  if (!f) return;
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

std::string read_text(const std::string& path) {
  FILE* f = _wfopen(native(path).c_str(), L"rb");
  if (!f) return std::string();
  std::string out;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
  std::fclose(f);
  return out;
}

bool exists(const std::string& path) { return GetFileAttributesW(native(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool is_dir(const std::string& path) {
  DWORD attributes = GetFileAttributesW(native(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static void walk(const std::wstring& root, const std::wstring& rel, std::map<std::string, std::string>& out) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(((rel.empty() ? root : root + L"\\" + rel) + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring r = rel.empty() ? name : rel + L"\\" + name;
    std::string key = U(r);
    for (auto& c : key)
      if (c == '\\') c = '/';
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      out[key] = "->";
    } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[key + "/"] = "";
      walk(root, r, out);
    } else {
      out[key] = read_text(U(root + L"\\" + r));
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

std::map<std::string, std::string> snapshot_tree(const std::string& root) {
  std::map<std::string, std::string> out;
  walk(native(root), L"", out);
  return out;
}

int run_shell(const std::string& command) { return _wsystem(W(command).c_str()); }

std::string capture_shell(const std::string& command) {
  std::string out;
  FILE* pipe = _wpopen(W(command).c_str(), L"rb");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  _pclose(pipe);
  return out;
}

std::string self_path() {
  wchar_t buffer[32768] = {};
  DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
  return U(std::wstring(buffer, n));
}

bool make_zip(const std::string& dir, const std::string& zip) { return write_zip_of_tree(dir, zip); }

std::wstring W(const std::string& utf8) { return plat::utf8_to_wide(utf8); }
std::string U(const std::wstring& wide) { return plat::wide_to_utf8(wide); }

}  // namespace testing_support
