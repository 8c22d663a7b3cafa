// A minimal zip writer for the Windows tests (Windows has no zip tool to call): stored entries,
// UTF-8 names, directories as entries ending in "/".
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// name -> content; a name ending in "/" is a directory entry.
bool write_zip(const std::string& zip, const std::vector<std::pair<std::string, std::string>>& entries);
// Every file and directory below `dir`, with paths relative to it.
bool write_zip_of_tree(const std::string& dir, const std::string& zip);

}  // namespace testing_support
