// Finding, awaiting and ending running copies of the installed application.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

std::vector<uint32_t> find_running_instances(const std::wstring& install_dir);
bool close_running_instances(const std::wstring& install_dir, std::wstring& error);
