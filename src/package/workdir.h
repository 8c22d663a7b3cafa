// The scratch directory of one run, beside the program's executable.
#pragma once

#include <string>

std::wstring work_file_path(const std::wstring& name);   // creates the work directory; path of `name` in it
void delete_work_file(const std::wstring& path);         // deletes only a file directly in the work directory
void cleanup_work_directory();                           // removes the work directory and all in it
