// Program shortcuts of an installation, written by the platform; every failure is silent.
#include "install/shortcut.h"

#include "platform/platform.h"

void create_shortcut(const std::wstring& target, const std::wstring& link, const std::wstring& directory,
                     const std::wstring& arguments) {
  plat::write_shortcut(target, link, directory, arguments, L"Morvell");
}
