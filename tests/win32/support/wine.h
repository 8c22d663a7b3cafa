// Where the Windows tests run: behaviours that Wine does not implement are skipped there.
#pragma once

#include <windows.h>

namespace testing_support {

// True inside Wine (its ntdll exports wine_get_version).
inline bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace testing_support
