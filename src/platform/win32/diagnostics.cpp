// Windows backend: what the install log and the command-line answers need from the system:
// wall-clock time, the last failure in the system's own words, appending whole lines.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace plat {

std::string local_time_text() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", local.wYear, local.wMonth, local.wDay,
                local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
  return text;
}

std::string last_error_text() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n && text ? std::wstring(text, n) : std::wstring();
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  return "GetLastError " + std::to_string(code) + ": " + wide_to_utf8(message);
}

namespace backend {

const SystemError kInjectedFault = ERROR_IO_DEVICE;
const SystemError kNoSuchPath = ERROR_PATH_NOT_FOUND;
const SystemError kBadHandle = ERROR_INVALID_HANDLE;
const SystemError kInvalidArgument = ERROR_INVALID_PARAMETER;

SystemError last_error() { return GetLastError(); }

void set_last_error(SystemError code) { SetLastError(static_cast<DWORD>(code)); }

}  // namespace backend

namespace {

bool write_to(HANDLE out, const std::string& text) {
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0, written = 0;
  if (GetConsoleMode(out, &mode)) {
    // A console takes UTF-16; bytes would be read in the console's code page.
    const std::wstring wide = utf8_to_wide(text);
    return WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) != 0;
  }
  return WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0;
}

}  // namespace

void show_user_text(const std::string& text, bool error_stream, bool box_otherwise) {
  const DWORD which = error_stream ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
  // Our own console, or streams the starter redirected to a file or pipe.
  if (write_to(GetStdHandle(which), text)) return;
  // A window program has no console: borrow the one of the program that started us.
  if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    const bool shown = write_to(console, text);
    if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
    FreeConsole();
    if (shown) return;
  }
  if (box_otherwise)
    MessageBoxW(nullptr, utf8_to_wide(text).c_str(), L"Morvell",
                MB_OK | (error_stream ? MB_ICONERROR : MB_ICONINFORMATION));
}

FileHandle open_for_appending(const std::wstring& path) {
  if (path.empty()) return kNoFile;
  // Append-only access: the system moves to the end and writes in one step, so lines of
  // concurrent runs never overwrite or cut into each other.
  // Never through a link into somebody else's file, never a pipe or device.
  HANDLE file = win32::regular_file_only(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                                     nullptr));
  return file == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(file);
}

}  // namespace plat
