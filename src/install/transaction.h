// Installing a package archive into a directory: stage, swap, carry the configuration, finish.
#pragma once

#include <string>

bool install_package(const std::wstring& package, const std::wstring& install_dir, bool desktop_shortcut,
                     bool start_menu_shortcut, bool launch, std::wstring& error);
