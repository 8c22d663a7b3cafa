// The package archive carried behind an offline installer's executable image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>


// A package archive: a whole file, or `length` bytes of a file from `offset` on (the archive an
// offline installer carries behind its program), read where it lies.
struct PackageSource {
  std::wstring file;
  uint64_t offset = 0;
  uint64_t length = 0;   // 0: the whole file
  bool is_range() const { return length != 0; }
};

// Finds the last trailer in the tail of a file; true with offset and length both non-zero.
bool parse_payload_trailer(const char* tail, size_t size, uint64_t& offset, uint64_t& length);
// True when `program` carries a payload under the trailer rules that lies within the file.
bool find_carried_payload(const std::wstring& program, uint64_t& offset, uint64_t& length);
// True when the first `offset` bytes of `program` can be a program of this system on their own:
// they begin as every program file does and hold more than its first header.
bool program_part_is_whole(const std::wstring& program, uint64_t offset);
// Copies `length` bytes of `from` from `offset` on into the file `to` (in a folder that exists;
// with `only_new`, made only where nothing stands), in pieces sized by the clock; `after_piece` (may
// be empty) runs after each with the bytes so far.
bool copy_file_part(const std::wstring& from, uint64_t offset, uint64_t length, const std::wstring& to,
                    bool only_new, const std::function<void(uint64_t done)>& after_piece);
// Writes the program part of an offline installer (its first `length` bytes) to `to` as a program
// of its own: without the pointer to a signature that was made over the whole installer, and with
// its own checksum. `after_piece` as for copy_file_part.
bool copy_program_part(const std::wstring& from, uint64_t length, const std::wstring& to,
                       const std::function<void(uint64_t done)>& after_piece);
// Copies the carried archive into the work directory; `package_path` is set once a trailer is found.
bool extract_offline_payload(std::wstring& package_path, std::wstring& error);
// The carried archive as the install reads it: where the in-process unpacker reads a range of a
// file, that range of the running program itself, nothing copied; elsewhere the copy made by
// extract_offline_payload, with `copied` set (the caller removes `package.file` then, also after
// a failure). False as extract_offline_payload fails, also for a range that runs past the file.
bool offline_package(PackageSource& package, bool& copied, std::wstring& error);
