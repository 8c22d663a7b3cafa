// External programs: running and awaiting them, removing trees, unpacking packages.
#pragma once

#include <cstdint>
#include <string>

// Starts `program` with one parameter string and waits, pulsing `status` every 100 ms.
// True only when it exited with 0; `exit_code` (may be null) receives the code.
bool run_and_wait(const std::wstring& program, const std::wstring& parameters, const std::wstring& status,
                  std::wstring& error, uint32_t* exit_code, bool shown);
void remove_tree(const std::wstring& path, const std::wstring& status);   // external removal, then in-process
// Unpacks a zip into `destination`, trying the external tools and then the in-process unpacker.
bool extract_archive(const std::wstring& package, const std::wstring& destination, std::wstring& error);
// The unpack of an install: extract_archive, then the tree must hold bin/Morvell.exe.
bool unpack_package(const std::wstring& package, const std::wstring& staging, std::wstring& error);
