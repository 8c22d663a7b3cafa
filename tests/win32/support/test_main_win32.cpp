// The Windows test program's entry. Run with --fake-app it plays the installed application:
//   --fake-app exit-after MS    exits by itself after MS milliseconds
//   --fake-app linger           stays until killed (at most one minute)
//   --fake-app exit-code N      exits at once with code N (decimal, or 0x... hexadecimal)
//   --fake-app write-args F A.. writes the arguments A.. to the file F, one a line
//   --fake-app write-own-path F writes the program's own path as the platform layer sees it to F
//   --fake-app start-then-die F starts a lingering helper and a detached lingering copy, writes
//                               the helper's pid to F, then ends itself as if killed
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

#include "platform/platform.h"

static void log_start() {
  if (const char* log = std::getenv("MORVELL_FAKE_APP_LOG")) {
    if (FILE* f = std::fopen(log, "a")) {
      std::fprintf(f, "%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
      std::fclose(f);
    }
  }
}

static int fake_app(int argc, char** argv) {
  log_start();
  std::string mode = argc > 2 ? argv[2] : "linger";
  if (mode == "exit-after") {
    Sleep(static_cast<DWORD>(argc > 3 ? std::atoi(argv[3]) : 0));
    return 0;
  }
  if (mode == "exit-code") ExitProcess(argc > 3 ? static_cast<UINT>(std::strtoul(argv[3], nullptr, 0)) : 0);
  if (mode == "write-own-path" && argc > 3) {   // what the platform layer says our path is
    if (FILE* f = std::fopen(argv[3], "wb")) {
      std::fputs(plat::wide_to_utf8(plat::own_executable_path()).c_str(), f);
      std::fclose(f);
    }
    return 0;
  }
  if (mode == "write-args" && argc > 3) {   // the arguments after the file, one a line, as main() got them
    if (FILE* f = std::fopen(argv[3], "wb")) {
      for (int i = 4; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
      std::fclose(f);
    }
    return 0;
  }
  if (mode == "start-then-die" && argc > 3) {
    plat::ProcessHandle helper = plat::kNoProcess;
    std::wstring self = plat::own_executable_path();
    if (!plat::start_process(self, L"--fake-app linger", false, helper)) return 2;
    if (!plat::launch_detached(self, {L"--fake-app", L"linger"}, L"")) return 3;
    if (FILE* f = std::fopen(argv[3], "wb")) {
      std::fprintf(f, "%lu\n", static_cast<unsigned long>(GetProcessId(reinterpret_cast<HANDLE>(helper))));
      std::fclose(f);
    }
    // Die only once both copies have started (each logs its pid), at most after five seconds.
    const char* log = std::getenv("MORVELL_FAKE_APP_LOG");
    for (int i = 0; log && i < 100; ++i) {
      int lines = 0;
      if (FILE* f = std::fopen(log, "rb")) {
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

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--fake-app") == 0) return fake_app(argc, argv);
  if (started_as_the_application(argc)) {
    log_start();
    ExitProcess(static_cast<UINT>(chosen_exit_code()));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
