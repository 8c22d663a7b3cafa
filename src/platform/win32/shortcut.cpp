// Windows backend: shell links (.lnk) through the ShellLink object.
#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace plat {

const wchar_t kShortcutExtension[] = L".lnk";

static const CLSID kShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
static const IID kShellLinkW = {0x000214F9, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
static const IID kPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

bool write_shortcut(const std::wstring& target, const std::wstring& link, const std::wstring& directory,
                    const std::wstring& arguments, const std::wstring& description) {
  if (injected("write_shortcut", link)) return false;
  win32::ComApartment apartment;
  void* object = nullptr;
  HRESULT hr = CoCreateInstance(kShellLink, nullptr, CLSCTX_INPROC_SERVER, kShellLinkW, &object);
  IShellLinkW* shell_link = static_cast<IShellLinkW*>(object);
  // COM answers with an HRESULT of its own, which is what the system has to say here.
  if (FAILED(hr) || !shell_link) return refused("write_shortcut", link, static_cast<unsigned long>(hr));

  shell_link->SetPath(win32::native_separators(target).c_str());
  if (!arguments.empty()) shell_link->SetArguments(arguments.c_str());
  shell_link->SetWorkingDirectory(win32::native_separators(directory).c_str());
  shell_link->SetDescription(description.c_str());

  bool saved = false;
  object = nullptr;
  hr = shell_link->QueryInterface(kPersistFile, &object);
  IPersistFile* file = static_cast<IPersistFile*>(object);
  if (SUCCEEDED(hr) && file) {
    std::wstring native = win32::native_separators(link);
    win32::create_parents(native);   // the start-menu folder may not exist yet
    hr = file->Save(native.c_str(), TRUE);
    saved = SUCCEEDED(hr);
    file->Release();
  }
  shell_link->Release();
  return saved || refused("write_shortcut", link, static_cast<unsigned long>(hr));
}

bool read_shortcut(const std::wstring& link, std::wstring& target, std::wstring& arguments) {
  if (link.empty() || path_kind(link) != PathKind::File) return false;
  win32::ComApartment apartment;
  void* object = nullptr;
  if (FAILED(CoCreateInstance(kShellLink, nullptr, CLSCTX_INPROC_SERVER, kShellLinkW, &object)) || !object) return false;
  IShellLinkW* shell_link = static_cast<IShellLinkW*>(object);
  bool read = false;
  object = nullptr;
  if (SUCCEEDED(shell_link->QueryInterface(kPersistFile, &object)) && object) {
    IPersistFile* file = static_cast<IPersistFile*>(object);
    std::vector<wchar_t> path(32768), args(32768);
    // The path as stored, never resolved: a link to another installation stays that. The item
    // list holds it in full; the plain path field holds it in the system's code page only, which
    // may lack letters of the name.
    read = SUCCEEDED(file->Load(win32::native_separators(link).c_str(), STGM_READ)) &&
           SUCCEEDED(shell_link->GetArguments(args.data(), 32768));
    PIDLIST_ABSOLUTE items = nullptr;
    const bool from_items = read && SUCCEEDED(shell_link->GetIDList(&items)) && items &&
                            SHGetPathFromIDListEx(items, path.data(), 32768, GPFIDL_DEFAULT);
    if (items) CoTaskMemFree(items);
    if (read && !from_items) read = SUCCEEDED(shell_link->GetPath(path.data(), 32768, nullptr, SLGP_RAWPATH));
    if (read) {
      target = path.data();
      arguments = args.data();
    }
    file->Release();
  }
  shell_link->Release();
  return read && !target.empty();
}

}  // namespace plat
