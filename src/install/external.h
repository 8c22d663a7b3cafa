// External programs: running and awaiting them, removing trees, unpacking packages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Starts `program` with `arguments` and waits, pulsing `status` every 100 ms.
// True only when it exited with 0; `exit_code` (may be null) receives the code.
bool run_and_wait(const std::wstring& program, const std::vector<std::wstring>& arguments, const std::wstring& status,
                  std::wstring& error, uint32_t* exit_code, bool shown);
void remove_tree(const std::wstring& path, const std::wstring& status);   // external removal, then in-process
// Unpacks a zip into `destination`, trying the external tools and then the in-process unpacker.
bool extract_archive(const std::wstring& package, const std::wstring& destination, std::wstring& error);
// A package archive: a whole file, or `length` bytes of a file from `offset` on (the archive an
// offline installer carries behind its program), read where it lies.
struct PackageSource {
  std::wstring file;
  uint64_t offset = 0;
  uint64_t length = 0;   // 0: the whole file
  bool is_range() const { return length != 0; }
};
// Unpacks the archive that lies in a range of `file` with the in-process unpacker, which reads
// nothing outside the range, and checks the tree as extract_archive does.
bool extract_archive_range(const std::wstring& file, uint64_t offset, uint64_t length,
                           const std::wstring& destination, std::wstring& error);
// The unpack of an install: extract_archive (extract_archive_range for a range), then the tree
// must hold bin/Morvell.exe.
bool unpack_package(const PackageSource& package, const std::wstring& staging, std::wstring& error);
