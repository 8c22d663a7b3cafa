// File-tree primitives: directories, silent deletion, copies with progress, counting, moving.
// None of them follows a symbolic link out of the tree it was given.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>

struct ProgressThrottle;

bool create_directory_tree(const std::wstring& path);    // true when created or something of that name exists
// A file or tree removed by this process, entry by entry, the window live between entries; silent.
void remove_tree_in_process(const std::wstring& path);
bool copy_file_with_progress(const std::wstring& source, const std::wstring& destination,
                             ProgressThrottle* throttle, uint64_t size_hint);
bool count_tree(const std::wstring& path, uint64_t& files, uint64_t& bytes);   // adds to the counters
bool copy_tree(const std::wstring& source, const std::wstring& destination, ProgressThrottle* throttle);
bool copy_tree_with_progress(const std::wstring& source, const std::wstring& destination,
                             const std::wstring& text, double from, double to);
bool move_tree(const std::wstring& source, const std::wstring& destination, ProgressThrottle* throttle);
// True when the tree holds no pipe, socket or device, and every link in it leads to a place
// inside it (a link whose target cannot be read counts as leading out).
bool tree_is_self_contained(const std::wstring& root);
bool write_file_bytes(const std::wstring& path, const std::string& bytes);   // replaces the file; true when all bytes were written
// The whole of a small regular file; false when it is anything else, cannot be read or passes `limit`.
bool read_small_file(const std::wstring& path, size_t limit, std::string& text);
