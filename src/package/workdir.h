// The scratch directory of one run, beside the program's executable.
#pragma once

#include <string>

// Path of `name`, free, in this run's own work directory (made afresh and private on first use);
// empty when that directory cannot be made.
std::wstring work_file_path(const std::wstring& name);
void delete_work_file(const std::wstring& path);         // deletes only a file directly in the work directory
void cleanup_work_directory();                           // removes the work directory and all in it

// The program file whose directory holds the work directory and whose tail carries the offline
// package: the running executable, unless tests have pointed it at another file.
std::wstring work_program_path();
void set_work_program_path(const std::wstring& path);    // tests only; empty = the running executable
