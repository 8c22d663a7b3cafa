// A stand-in for the tar.exe of Windows 10 and later, for test prefixes that have none: unpacks a
// zip with `tar.exe -xf <zip> -C <dir>` (stored and deflated entries), nothing else. Entries that
// would land outside <dir> are refused. Exit code 0 on success, 1 on any failure, 2 on bad usage.
#include <windows.h>
#include <shellapi.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

static std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

static bool read_file(const std::wstring& path, std::string& out) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
  CloseHandle(file);
  return true;
}

static bool write_file(const std::wstring& path, const std::string& data) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = data.empty() || (WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                             written == data.size());
  CloseHandle(file);
  return ok;
}

static void make_dirs(const std::wstring& path) {
  for (size_t i = 3; i <= path.size(); ++i)
    if (i == path.size() || path[i] == L'\\') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
}

static uint32_t get16(const std::string& d, size_t at) {
  return static_cast<unsigned char>(d[at]) | (static_cast<unsigned char>(d[at + 1]) << 8);
}

static uint32_t get32(const std::string& d, size_t at) { return get16(d, at) | (get16(d, at + 2) << 16); }

static bool inflate_raw(const std::string& in, size_t size, std::string& out) {
  out.assign(size, '\0');
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(size ? &out[0] : nullptr);
  z.avail_out = static_cast<uInt>(size);
  int rc = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return (rc == Z_STREAM_END || (rc == Z_BUF_ERROR && size == 0)) && z.total_out == size;
}

// Relative entry name -> safe path below `root`, or empty when it would leave it.
static std::wstring place(const std::wstring& root, const std::string& name) {
  std::wstring rel = widen(name);
  for (auto& c : rel)
    if (c == L'/') c = L'\\';
  if (rel.empty() || rel[0] == L'\\' || rel.find(L':') != std::wstring::npos) return std::wstring();
  size_t start = 0;
  while (start <= rel.size()) {
    size_t end = rel.find(L'\\', start);
    if (end == std::wstring::npos) end = rel.size();
    if (rel.compare(start, end - start, L"..") == 0) return std::wstring();
    start = end + 1;
  }
  return root + L"\\" + rel;
}

static int unpack(const std::wstring& zip, const std::wstring& root) {
  std::string d;
  if (!read_file(zip, d) || d.size() < 22) return 1;
  size_t eocd = std::string::npos;
  for (size_t i = d.size() - 22 + 1; i-- > 0;)
    if (get32(d, i) == 0x06054b50) {
      eocd = i;
      break;
    }
  if (eocd == std::string::npos) return 1;
  uint32_t count = get16(d, eocd + 10);
  size_t at = get32(d, eocd + 16);
  make_dirs(root);
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 46 > d.size() || get32(d, at) != 0x02014b50) return 1;
    uint32_t method = get16(d, at + 10), packed = get32(d, at + 20), size = get32(d, at + 24);
    uint32_t name_len = get16(d, at + 28), extra_len = get16(d, at + 30), comment_len = get16(d, at + 32);
    uint32_t local = get32(d, at + 42);
    std::string name = d.substr(at + 46, name_len);
    at += 46 + name_len + extra_len + comment_len;
    std::wstring target = place(root, name);
    if (target.empty()) return 1;
    if (name.back() == '/') {
      make_dirs(target.substr(0, target.size() - 1));
      continue;
    }
    if (local + 30 > d.size() || get32(d, local) != 0x04034b50) return 1;
    size_t data_at = local + 30 + get16(d, local + 26) + get16(d, local + 28);
    if (data_at + packed > d.size()) return 1;
    std::string packed_data = d.substr(data_at, packed), content;
    if (method == 0) content = packed_data;
    else if (method != 8 || !inflate_raw(packed_data, size, content)) return 1;
    make_dirs(target.substr(0, target.find_last_of(L'\\')));
    if (!write_file(target, content)) return 1;
  }
  return 0;
}

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return 2;
  std::wstring zip, dir;
  bool extract = false;
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    if (a == L"-xf" && i + 1 < argc) extract = true, zip = argv[++i];
    else if (a == L"-C" && i + 1 < argc) dir = argv[++i];
    else return 2;
  }
  LocalFree(argv);
  if (!extract || zip.empty() || dir.empty()) return 2;
  for (auto& c : dir)
    if (c == L'/') c = L'\\';
  while (dir.size() > 3 && dir.back() == L'\\') dir.pop_back();
  return unpack(zip, dir);
}
