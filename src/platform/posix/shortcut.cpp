// POSIX backend: program shortcuts as freedesktop desktop entries (.desktop files).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/posix/posix_util.h"

namespace plat {

const wchar_t kShortcutExtension[] = L".desktop";

namespace {

// Escapes a value of the "string" type: backslash, newline, tab and carriage return.
std::string entry_string(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

// One argument of an Exec line: always in double quotes, with ", `, $ and \ escaped by a
// backslash, and % doubled so that it is never taken for a field code.
std::string exec_argument(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out.push_back('\\');
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool plain_argument(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
          c == '.' || c == '/' || c == '=' || c == ',' || c == '+' || c == ':' || c == '@'))
      return false;
  }
  return true;
}

// The arguments are blank-separated words; plain ones stay bare, the rest are quoted.
std::string exec_arguments(const std::string& arguments) {
  std::string out, word;
  auto flush = [&]() {
    if (word.empty()) return;
    out += " ";
    out += plain_argument(word) ? word : exec_argument(word);
    word.clear();
  };
  for (char c : arguments) {
    if (c == ' ' || c == '\t') flush();
    else word.push_back(c);
  }
  flush();
  return out;
}

std::string base_name(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string extension = ".desktop";
  if (name.size() > extension.size() && name.compare(name.size() - extension.size(), extension.size(), extension) == 0)
    name.resize(name.size() - extension.size());
  return name;
}

void make_parents(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return;
  std::string parent = path.substr(0, slash);
  struct stat st;
  if (stat(parent.c_str(), &st) == 0) return;
  make_parents(parent);
  mkdir(parent.c_str(), 0755);
}

// The icon: an image beside the program with its base name, else the generic program icon.
std::string icon_for(const std::string& target) {
  std::string stem = target;
  size_t slash = stem.find_last_of('/');
  size_t dot = stem.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) stem.resize(dot);
  std::string image = stem + ".png";
  struct stat st;
  if (stat(image.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return image;
  return "application-x-executable";
}

bool write_entry(const std::wstring& target, const std::wstring& link, const std::wstring& directory,
                 const std::wstring& arguments, const std::wstring& description) {
  if (target.empty() || link.empty()) {
    errno = ENOENT;
    return false;
  }
  const std::string target8 = wide_to_utf8(target), link8 = wide_to_utf8(link);

  std::string text = "[Desktop Entry]\n";
  text += "Type=Application\n";
  text += "Version=1.0\n";
  text += "Name=" + entry_string(base_name(link8)) + "\n";
  text += "Comment=" + entry_string(wide_to_utf8(description)) + "\n";
  // Some desktops look for the program of an entry before they expand its "%%" back to "%": a
  // program whose path holds one is started through env, which they always find.
  const std::string launcher = target8.find('%') != std::string::npos ? "env " : "";
  text += "Exec=" + entry_string(launcher + exec_argument(target8) + exec_arguments(wide_to_utf8(arguments))) + "\n";
  if (!directory.empty()) text += "Path=" + entry_string(wide_to_utf8(directory)) + "\n";
  text += "Icon=" + entry_string(icon_for(target8)) + "\n";
  text += "Terminal=false\n";

  make_parents(link8);
  // Written beside the link and renamed over it, so a reader never sees half an entry.
  const std::string temporary = link8 + ".tmp" + std::to_string(getpid());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0755);
  if (fd < 0) return false;
  const char* data = text.data();
  size_t left = text.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  // Desktops start an entry on the desktop only when it is executable.
  if (ok && fchmod(fd, 0755) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (ok && rename(temporary.c_str(), link8.c_str()) != 0) ok = false;
  if (!ok) {
    const int code = errno;
    unlink(temporary.c_str());
    errno = code;
  }
  return ok;
}

// The value of a "string" key with its escapes undone.
std::string unescape_string(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    const char c = text[++i];
    out.push_back(c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == 's' ? ' ' : c);
  }
  return out;
}

// The words of an Exec value: quoted ones with their escapes undone, "%%" as "%".
std::vector<std::string> exec_words(const std::string& exec) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false, quoted = false;
  for (size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (quoted) {
      if (c == '"') quoted = false;
      else if (c == '\\' && i + 1 < exec.size()) word.push_back(exec[++i]);
      else word.push_back(c);
    } else if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
      continue;
    } else if (c == '"') {
      quoted = true;
    } else {
      word.push_back(c);
    }
    in_word = true;
  }
  if (in_word) words.push_back(word);
  for (std::string& w : words) {
    std::string plain;
    for (size_t i = 0; i < w.size(); ++i) {
      plain.push_back(w[i]);
      if (w[i] == '%' && i + 1 < w.size() && w[i + 1] == '%') ++i;
    }
    w = plain;
  }
  return words;
}

}  // namespace

bool read_shortcut(const std::wstring& link, std::wstring& target, std::wstring& arguments) {
  std::string text;
  plat::FileHandle file = open_for_reading(link);
  if (file == kNoFile) return false;
  char buffer[4096];
  int64_t n = 0;
  while (text.size() < (1u << 20) && (n = read_some(file, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close_file(file);
  size_t at = text.find("\nExec=");
  if (n < 0 || at == std::string::npos) return false;
  at += 6;
  std::vector<std::string> words = exec_words(unescape_string(text.substr(at, text.find('\n', at) - at)));
  if (!words.empty() && words[0] == "env") words.erase(words.begin());
  if (words.empty()) return false;
  target = utf8_to_wide(words[0]);
  arguments.clear();
  for (size_t i = 1; i < words.size(); ++i) arguments += (i > 1 ? L" " : L"") + utf8_to_wide(words[i]);
  return true;
}

bool write_shortcut(const std::wstring& target, const std::wstring& link, const std::wstring& directory,
                    const std::wstring& arguments, const std::wstring& description) {
  if (injected("write_shortcut", link)) return false;
  return write_entry(target, link, directory, arguments, description) || report_failure("write_shortcut", link);
}

}  // namespace plat
