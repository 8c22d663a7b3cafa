// POSIX backend: desktops list programs through their .desktop entries, which the shortcuts
// are, and keep no list of installations to remove: nothing to write.
#include "platform/platform.h"

namespace plat {

const bool kKeepsProgramList = false;

bool write_uninstall_entry(const std::wstring&, const UninstallEntry&) { return true; }
bool update_uninstall_entry(const std::wstring&, const std::wstring&, uint32_t) { return true; }
bool remove_uninstall_entry(const std::wstring&) { return true; }

}  // namespace plat
