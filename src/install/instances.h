// Finding, awaiting and ending running copies of the installed application.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Process ids of the copies of bin/Morvell.exe started from `install_dir` (never this process).
std::vector<uint32_t> find_running_instances(const std::wstring& install_dir);
// Waits for those copies to exit, then ends them; false with `error` set when some still run.
bool close_running_instances(const std::wstring& install_dir, std::wstring& error);

// The pause between scans (sleep_with_events); tests replace it together with ui_clock.
using InstanceSleepFunction = void (*)(uint32_t ms);
extern InstanceSleepFunction instance_sleep;
