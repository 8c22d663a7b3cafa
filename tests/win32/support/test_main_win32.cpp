// The Windows test program's entry. Run with --fake-app it plays the installed application:
//   --fake-app exit-after MS    exits by itself after MS milliseconds
//   --fake-app linger           stays until killed (at most one minute)
//   --fake-app exit-code N      exits at once with code N (decimal, or 0x... hexadecimal)
//   --fake-app write-args F A.. writes the arguments A.. to the file F, one a line
//   --fake-app write-own-path F writes the program's own path as the platform layer sees it to F
//   --fake-app start-then-die F starts a lingering helper and a detached lingering copy, writes
//                               the helper's pid to F, then ends itself as if killed
//   --fake-app save-on-close F  shows a window; asked to close it, writes "saved" to F and exits
//                               with 7 (at most one minute)
// Every fake run appends its pid to %MORVELL_FAKE_APP_LOG% when that is set. Started as an
// installed application (bin\Morvell.exe, no arguments) it ends at once, with the code written
// in hexadecimal in a file "exit-code" beside it when there is one (0xC0000005: a crash).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/ui.h"
#include "platform/platform.h"

// Files named by the arguments, which are UTF-8 whatever the process code page.
static FILE* open_utf8(const char* path, const wchar_t* mode) { return _wfopen(plat::utf8_to_wide(path).c_str(), mode); }

static void log_start() {
  if (const wchar_t* log = _wgetenv(L"MORVELL_FAKE_APP_LOG")) {
    if (FILE* f = _wfopen(log, L"a")) {
      std::fprintf(f, "%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
      std::fclose(f);
    }
  }
}

// The application with unsaved work: it saves when its window is asked to close.
static const char* save_file = nullptr;

static LRESULT CALLBACK saving_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CLOSE) {
    if (FILE* f = open_utf8(save_file, L"wb")) {
      std::fputs("saved", f);
      std::fclose(f);
    }
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(7);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

static int save_on_close(const char* file) {
  save_file = file;
  WNDCLASSW cls = {};
  cls.lpfnWndProc = saving_window;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.lpszClassName = L"MorvellFakeApp";
  RegisterClassW(&cls);
  HWND window = CreateWindowW(cls.lpszClassName, L"Morvell", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300, 200,
                              nullptr, nullptr, cls.hInstance, nullptr);
  if (!window) return 3;
  SetTimer(window, 1, 60000, nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER) return 0;
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

static int fake_app(int argc, char** argv) {
  log_start();
  std::string mode = argc > 2 ? argv[2] : "linger";
  if (mode == "exit-after") {
    Sleep(static_cast<DWORD>(argc > 3 ? std::atoi(argv[3]) : 0));
    return 0;
  }
  if (mode == "exit-code") ExitProcess(argc > 3 ? static_cast<UINT>(std::strtoul(argv[3], nullptr, 0)) : 0);
  if (mode == "save-on-close" && argc > 3) return save_on_close(argv[3]);
  if (mode == "write-own-path" && argc > 3) {   // what the platform layer says our path is
    if (FILE* f = open_utf8(argv[3], L"wb")) {
      std::fputs(plat::wide_to_utf8(plat::own_executable_path()).c_str(), f);
      std::fclose(f);
    }
    return 0;
  }
  if (mode == "write-args" && argc > 3) {   // the arguments after the file, one a line, as main() got them
    if (FILE* f = open_utf8(argv[3], L"wb")) {
      for (int i = 4; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
      std::fclose(f);
    }
    return 0;
  }
  if (mode == "start-then-die" && argc > 3) {
    plat::ProcessHandle helper = plat::kNoProcess;
    std::wstring self = plat::own_executable_path();
    if (!plat::start_process(self, {L"--fake-app", L"linger"}, false, helper)) return 2;
    if (!plat::launch_detached(self, {L"--fake-app", L"linger"}, L"")) return 3;
    if (FILE* f = open_utf8(argv[3], L"wb")) {
      std::fprintf(f, "%lu\n", static_cast<unsigned long>(GetProcessId(reinterpret_cast<HANDLE>(helper))));
      std::fclose(f);
    }
    // Die only once both copies have started (each logs its pid), at most after five seconds.
    const wchar_t* log = _wgetenv(L"MORVELL_FAKE_APP_LOG");
    for (int i = 0; log && i < 100; ++i) {
      int lines = 0;
      if (FILE* f = _wfopen(log, L"rb")) {
        for (int c; (c = std::fgetc(f)) != EOF;) lines += c == '\n';
        std::fclose(f);
      }
      if (lines >= 3) break;
      Sleep(50);
    }
    TerminateProcess(GetCurrentProcess(), 9);
  }
  for (int i = 0; i < 600; ++i) Sleep(100);
  return 0;
}

// Started as an installed application is (bin\Morvell.exe, no arguments): log the start, end.
static bool started_as_the_application(int argc) {
  const std::wstring self = plat::own_executable_path();
  const size_t cut = self.find_last_of(L"\\/");
  return argc == 1 && _wcsicmp(self.substr(cut == std::wstring::npos ? 0 : cut + 1).c_str(), L"Morvell.exe") == 0;
}

// The code in the file "exit-code" beside the program, or 0.
static unsigned long chosen_exit_code() {
  std::wstring path = plat::own_executable_path();
  path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"exit-code";
  unsigned long code = 0;
  if (FILE* f = _wfopen(path.c_str(), L"rb")) {
    if (std::fscanf(f, "%lx", &code) != 1) code = 0;
    std::fclose(f);
  }
  return code;
}

int main(int, char**) {
  use_toolkit_front_end();
  // UTF-8 arguments as the installer takes them, whatever the process code page.
  std::vector<std::string> arguments = plat::program_arguments(0, nullptr);
  std::vector<char*> vector;
  for (std::string& argument : arguments) vector.push_back(&argument[0]);
  vector.push_back(nullptr);
  int argc = static_cast<int>(arguments.size());
  char** argv = vector.data();
  if (argc > 1 && std::strcmp(argv[1], "--fake-app") == 0) return fake_app(argc, argv);
  if (started_as_the_application(argc)) {
    log_start();
    ExitProcess(static_cast<UINT>(chosen_exit_code()));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
