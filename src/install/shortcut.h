// One program shortcut; silent on every failure.
#pragma once

#include <string>

void create_shortcut(const std::wstring& target, const std::wstring& link, const std::wstring& directory,
                     const std::wstring& arguments);
