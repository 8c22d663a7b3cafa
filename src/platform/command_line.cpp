// Windows command lines and PowerShell literals as text: written once, for the Windows backend
// that starts programs with them and for everyone above that shows or stores one.
#include <string>
#include <vector>

#include "platform/platform.h"

namespace plat {

namespace {

bool ascii_letter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

// Whether an argument stands in a command line as it is: an option or a plain word (letters,
// digits and '-'), or a switch of the command interpreter ('/' and one letter), which cmd.exe
// reads only when it stands bare. Everything else is quoted, so that no character of a path
// (a blank, '&', a quote) changes the command.
bool stands_bare(const std::wstring& argument) {
  if (argument.size() == 2 && argument[0] == L'/' && ascii_letter(argument[1])) return true;
  if (argument.empty()) return false;
  for (wchar_t c : argument)
    if (!ascii_letter(c) && !(c >= L'0' && c <= L'9') && c != L'-') return false;
  return true;
}

}  // namespace

std::wstring quote_argument(const std::wstring& text) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : text) {
    if (c == L'\\') {
      out.push_back(c);
      ++backslashes;
    } else if (c == L'"') {
      out.append(backslashes + 1, L'\\');
      out.push_back(c);
      backslashes = 0;
    } else {
      out.push_back(c);
      backslashes = 0;
    }
  }
  out.append(backslashes, L'\\');
  out.push_back(L'"');
  return out;
}

// The rules of the Windows C runtime: blanks separate arguments outside quotes; 2n backslashes
// before a quote give n backslashes and a quote toggle, 2n+1 give n backslashes and a literal
// quote; "" inside a quoted run gives a literal quote; other backslashes are literal.
std::vector<std::wstring> split_command_line(const std::wstring& parameters) {
  std::vector<std::wstring> args;
  std::wstring current;
  bool in_arg = false, quoted = false;
  size_t i = 0, n = parameters.size();
  while (i < n) {
    wchar_t c = parameters[i];
    if (!quoted && (c == L' ' || c == L'\t')) {
      if (in_arg) args.push_back(current);
      current.clear();
      in_arg = false;
      ++i;
      continue;
    }
    in_arg = true;
    if (c == L'\\') {
      size_t count = 0;
      while (i < n && parameters[i] == L'\\') ++count, ++i;
      if (i < n && parameters[i] == L'"') {
        current.append(count / 2, L'\\');
        if (count % 2) {
          current.push_back(L'"');
          ++i;
        }
      } else {
        current.append(count, L'\\');
      }
      continue;
    }
    if (c == L'"') {
      if (quoted && i + 1 < n && parameters[i + 1] == L'"') {
        current.push_back(L'"');
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    current.push_back(c);
    ++i;
  }
  if (in_arg) args.push_back(current);
  return args;
}

std::wstring quote_powershell_literal(const std::wstring& text) {
  std::wstring out = L"'";
  for (wchar_t c : text) {
    out.push_back(c);
    if (c == L'\'' || c == 0x2018 || c == 0x2019 || c == 0x201A || c == 0x201B) out.push_back(c);
  }
  out.push_back(L'\'');
  return out;
}

std::wstring command_line_text(const std::vector<std::wstring>& arguments) {
  std::wstring line;
  for (const std::wstring& argument : arguments) {
    if (!line.empty()) line += L' ';
    line += stands_bare(argument) ? argument : quote_argument(argument);
  }
  return line;
}

}  // namespace plat
