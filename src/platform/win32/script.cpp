// Windows backend: the command script that removes an installation after the uninstaller exits.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "platform/backend.h"
#include "platform/platform.h"

namespace plat {

const wchar_t kRemovalScriptName[] = L"morv-uninstall.cmd";

// The interpreter reads a batch file's bytes in the console's code page (936 on Chinese Windows,
// whatever "chcp" says under Wine), so a path written into the script would lose every character
// that page lacks, and a "%" would be expanded. The folders travel in the environment instead,
// as wide text, and delayed expansion puts them into the commands without parsing them again.
static const wchar_t kInstallVariable[] = L"MORVELL_INSTALL_DIR";
static const wchar_t kWorkVariable[] = L"MORVELL_WORK_DIR";
static const wchar_t kMarkVariable[] = L"MORVELL_UNINSTALL_MARK";

std::string removal_script_text(const std::wstring&, const std::wstring&, const std::wstring&) {
  std::string text;
  text += "@echo off\r\n";
  text += "setlocal EnableDelayedExpansion\r\n";
  text += "timeout /t 2 /nobreak >nul\r\n";
  // Only the installation this uninstall was started for: one made there since has no mark, and
  // it keeps its work folder too.
  text += "if not exist \"!MORVELL_INSTALL_DIR!\\!MORVELL_UNINSTALL_MARK!\" exit /b 0\r\n";
  text += "rmdir /s /q \"!MORVELL_INSTALL_DIR!\"\r\n";
  text += "cd /d \"%TEMP%\"\r\n";
  text += "rmdir /s /q \"!MORVELL_WORK_DIR!\"\r\n";
  return text;
}

bool run_script_detached(const std::wstring& script, const std::wstring& install_dir, const std::wstring& work_dir,
                         const std::wstring& mark) {
  if (injected("run_script_detached", script)) return false;
  // The script inherits this process's environment; this process is about to end.
  if (!SetEnvironmentVariableW(kInstallVariable, install_dir.c_str()) ||
      !SetEnvironmentVariableW(kWorkVariable, work_dir.c_str()) || !SetEnvironmentVariableW(kMarkVariable, mark.c_str()))
    return false;
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
