// External programs: running one to its end while the window stays live, and removing a tree
// with the system's own remover.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Starts `program` with `arguments` and waits, pulsing `status` every 100 ms.
// True only when it exited with 0; `exit_code` (may be null) receives the code.
bool run_and_wait(const std::wstring& program, const std::vector<std::wstring>& arguments, const std::wstring& status,
                  std::wstring& error, uint32_t* exit_code, bool shown);
// A tree removed by the system's own remover while `status` shows; what it leaves goes in-process.
void remove_tree_with_tool(const std::wstring& path, const std::wstring& status);
