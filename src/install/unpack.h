// Unpacking a package into a staging tree: the system's tools first, then the in-process
// unpacker; what is left counts only once the tree is fit to install.
#pragma once

#include <cstdint>
#include <string>

#include "package/payload.h"

// Unpacks a zip into `destination`, trying the external tools and then the in-process unpacker.
bool extract_archive(const std::wstring& package, const std::wstring& destination, std::wstring& error);
// Unpacks the archive that lies in a range of `file` with the in-process unpacker, which reads
// nothing outside the range, and checks the tree as extract_archive does.
bool extract_archive_range(const std::wstring& file, uint64_t offset, uint64_t length,
                           const std::wstring& destination, std::wstring& error);
// The unpack of an install: extract_archive (extract_archive_range for a range), then the tree
// must hold bin/Morvell.exe.
bool unpack_package(const PackageSource& package, const std::wstring& staging, std::wstring& error);
