// Program shortcuts read back through the shell's ShellLink object, for the Windows tests.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

#include <string>

namespace testing_support {

struct LinkFields {
  std::wstring path, arguments, directory, description;
};

// The fields of the shortcut `file`; false when it cannot be loaded.
inline bool read_link(const std::wstring& file, LinkFields& out) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  bool ok = false;
  IShellLinkW* link = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link)))) {
    IPersistFile* persist = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
      if (SUCCEEDED(persist->Load(file.c_str(), STGM_READ))) {
        wchar_t buffer[1024] = {};
        link->GetPath(buffer, 1024, nullptr, 0);
        out.path = buffer;
        buffer[0] = 0;
        link->GetArguments(buffer, 1024);
        out.arguments = buffer;
        buffer[0] = 0;
        link->GetWorkingDirectory(buffer, 1024);
        out.directory = buffer;
        buffer[0] = 0;
        link->GetDescription(buffer, 1024);
        out.description = buffer;
        ok = true;
      }
      persist->Release();
    }
    link->Release();
  }
  CoUninitialize();
  return ok;
}

}  // namespace testing_support
