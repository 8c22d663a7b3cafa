// Windows backend: the command script that removes an installation after the uninstaller exits.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "platform/platform.h"

namespace plat {

const wchar_t kRemovalScriptName[] = L"morv-uninstall.cmd";

// A path for a double-quoted argument of a batch file. Quotes keep blanks, "&", "^", "(" and ")"
// inert, and Windows paths cannot hold a double quote; only "%" would still be expanded (so
// "C:\100%\x" would lose its "%" and name another directory): it is written doubled.
static std::string batch_quoted_path(const std::wstring& path) {
  std::string utf8 = wide_to_utf8(path);
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    out.push_back(c);
    if (c == '%') out.push_back('%');
  }
  return out;
}

std::string removal_script_text(const std::wstring& install_dir, const std::wstring& work_dir) {
  std::string text;
  text += "@echo off\r\n";
  text += "timeout /t 2 /nobreak >nul\r\n";
  text += "rmdir /s /q \"" + batch_quoted_path(install_dir) + "\"\r\n";
  text += "cd /d \"%TEMP%\"\r\n";
  text += "rmdir /s /q \"" + batch_quoted_path(work_dir) + "\"\r\n";
  return text;
}

bool run_script_detached(const std::wstring& script) {
  if (fault_injected("run_script_detached", script)) return false;
  // The shell's "open" verb on a .cmd file runs it in the command interpreter, hidden, and
  // without an error box of the shell's own when that fails.
  SHELLEXECUTEINFOW info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = script.c_str();
  info.nShow = SW_HIDE;
  return ShellExecuteExW(&info) != 0;
}

}  // namespace plat
