// POSIX backend: text conversion, the program's own path and arguments, environment, folders, time.
#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/platform.h"

namespace plat {

const char kProgramSignature[] = "\x7f" "ELF";
const wchar_t kPathSeparator = L'/';

// Names on this system are bytes, mostly but not always UTF-8. A byte that does not decode is
// kept as the lone surrogate U+DC80..U+DCFF and turns back into the same byte, so every path
// read from the system names the same file when it goes back; text meant for the user shows
// U+FFFD in its place (display_text above this layer).
constexpr uint32_t kEscapeBase = 0xDC00;

std::wstring utf8_to_wide(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    size_t extra = 0;
    uint32_t cp = 0, min = 0;
    if ((c & 0xE0) == 0xC0) extra = 1, cp = c & 0x1F, min = 0x80;
    else if ((c & 0xF0) == 0xE0) extra = 2, cp = c & 0x0F, min = 0x800;
    else if ((c & 0xF8) == 0xF0) extra = 3, cp = c & 0x07, min = 0x10000;
    size_t j = 1;
    for (; extra > 0 && j <= extra && i + j < n && (s[i + j] & 0xC0) == 0x80; ++j)
      cp = (cp << 6) | (s[i + j] & 0x3F);
    if (extra == 0 || j <= extra || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(static_cast<wchar_t>(kEscapeBase + c));   // only this byte; the next starts afresh
      ++i;
      continue;
    }
    out.push_back(static_cast<wchar_t>(cp));
    i += j;
  }
  return out;
}

std::string wide_to_utf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t cp = static_cast<uint32_t>(wc);
    if (cp >= kEscapeBase + 0x80 && cp <= kEscapeBase + 0xFF) {
      out.push_back(static_cast<char>(cp - kEscapeBase));
      continue;
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::wstring own_executable_path() {
  // The whole path must fit the platform's path limit; a longer one counts as unknown.
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof buffer)) return std::wstring();
  return utf8_to_wide(std::string(buffer, static_cast<size_t>(n)));
}

std::vector<std::string> program_arguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(argv[i] ? argv[i] : "");
  return arguments;
}

std::string environment_value(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

static std::string home_directory() { return environment_value("HOME"); }

static std::string data_home() {
  std::string xdg = environment_value("XDG_DATA_HOME");
  if (!xdg.empty() && xdg[0] == '/') return xdg;
  std::string home = home_directory();
  return home.empty() ? std::string() : home + "/.local/share";
}

// A folder from user-dirs.dirs (as XDG_DESKTOP_DIR="$HOME/Desktop"), else ~/`fallback`.
static std::string user_directory(const std::string& key, const char* fallback) {
  std::string home = home_directory();
  std::string config = environment_value("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') config = home.empty() ? std::string() : home + "/.config";
  if (!config.empty()) {
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
      if (line.compare(0, key.size(), key) != 0) continue;
      std::string value = line.substr(key.size());
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
      if (value.compare(0, 5, "$HOME") == 0) {
        if (home.empty()) break;
        value = home + value.substr(5);
      }
      if (!value.empty() && value[0] == '/') return value;
    }
  }
  return home.empty() ? std::string() : home + "/" + fallback;
}

static std::string desktop_directory() { return user_directory("XDG_DESKTOP_DIR=", "Desktop"); }

std::wstring shell_folder(int folder) {
  std::string path;
  switch (folder) {
    case kFolderLocalAppData: path = data_home(); break;
    case kFolderProfile: path = home_directory(); break;
    case kFolderDesktop: path = desktop_directory(); break;
    case kFolderPrograms: path = data_home().empty() ? std::string() : data_home() + "/applications"; break;
    default: break;
  }
  return utf8_to_wide(path);
}

std::vector<std::wstring> user_folders() {
  std::vector<std::wstring> folders;
  const std::string home = home_directory(), data = data_home();
  for (const std::string& path :
       {home, desktop_directory(), user_directory("XDG_DOCUMENTS_DIR=", "Documents"),
        user_directory("XDG_DOWNLOAD_DIR=", "Downloads"), user_directory("XDG_MUSIC_DIR=", "Music"),
        user_directory("XDG_PICTURES_DIR=", "Pictures"), user_directory("XDG_VIDEOS_DIR=", "Videos"),
        user_directory("XDG_TEMPLATES_DIR=", "Templates"), user_directory("XDG_PUBLICSHARE_DIR=", "Public"),
        data, data.empty() ? data : data + "/applications",
        home.empty() ? home : home + "/.local", home.empty() ? home : home + "/.local/bin",
        home.empty() ? home : home + "/.config"})
    if (!path.empty()) folders.push_back(utf8_to_wide(path));
  return folders;
}

std::wstring temporary_directory() {
  std::string tmp = environment_value("TMPDIR");
  return utf8_to_wide(tmp.empty() ? std::string("/tmp") : tmp);
}

namespace {

// "/" followed by the components of `path` with "." and empty ones dropped and each ".."
// taking the one before it away (never the root).
std::wstring lexically_normal(const std::wstring& path) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L'/', start);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring part = path.substr(start, end - start);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::wstring out;
  for (const std::wstring& part : parts) out += L"/" + part;
  return out.empty() ? L"/" : out;
}

}  // namespace

std::wstring absolute_path(const std::wstring& path) {
  if (path.empty()) return path;
  if (path[0] == L'/') return lexically_normal(path);
  std::string cwd;
  for (size_t size = 256; size <= (1u << 20); size *= 2) {
    std::string buffer(size, '\0');
    if (getcwd(&buffer[0], size)) {
      cwd = buffer.c_str();
      break;
    }
    if (errno != ERANGE) break;
  }
  if (cwd.empty()) return path;   // no current directory to stand on: the path stays as given
  return lexically_normal(utf8_to_wide(cwd) + L"/" + path);
}

uint32_t tick_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void sleep_ms(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

int64_t utc_seconds_now() { return static_cast<int64_t>(time(nullptr)); }

}  // namespace plat
