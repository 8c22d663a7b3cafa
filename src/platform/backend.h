// What the portable half of the platform (src/platform/*.cpp) asks of the one backend built
// beside it (posix/ or win32/): the raw system calls, nothing more. A primitive here neither
// consults the fault seam nor reports a failure; its portable caller does both, once, for every
// system. Included by the files of src/platform only; never part of the platform interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"

namespace plat {

// The system's own code of a failure: errno on POSIX, GetLastError() on Windows.
using SystemError = unsigned long;

// The fault seam for `op` on `path` (fault_seam.cpp): true when a test makes it fail, with
// backend::kInjectedFault set and the failure reported.
bool injected(const char* op, const std::wstring& path);
// `op` on `path` refused by a check of ours, before any system call: `code` set and reported.
// Always false, for the refused operation to return.
bool refused(const char* op, const std::wstring& path, SystemError code);

// What this program writes into a lock file it makes: the proof that the file may go again.
constexpr char kLockText[] = "Morvell installer lock\n";

namespace backend {

// ---------------------------------------------------------------- the last error
extern const SystemError kInjectedFault;     // an injected failure: an I/O error
extern const SystemError kNoSuchPath;        // an empty path: nothing there
extern const SystemError kBadHandle;         // a handle below 0
extern const SystemError kInvalidArgument;   // an offset or handle that cannot be used
SystemError last_error();
void set_last_error(SystemError code);

// ---------------------------------------------------------------- streams
// One write of up to `size` bytes at the current position: the count (0 when nothing more can
// be written) or -1 on failure. A short count is no failure; the caller writes the rest.
int64_t write_chunk(FileHandle file, const void* data, size_t size);
// Reads up to `size` bytes of `file` from its byte `offset` on: the count (0 at end of file) or -1.
int64_t read_at(FileHandle file, uint64_t offset, void* buffer, size_t size);
// The system's own copy of up to `size` bytes of `from` from `offset` on to the current position
// of `to`: the count (0 at end of `from`), -1 on failure, or kNoSystemCopy where the system has
// none for this pair of files (then the caller reads and writes through a buffer of
// kCopyBufferSize bytes).
constexpr int64_t kNoSystemCopy = -2;
int64_t system_copy(FileHandle from, uint64_t offset, FileHandle to, size_t size);
extern const size_t kCopyBufferSize;

// ---------------------------------------------------------------- locks
// One attempt at the lock `path` stands for (the path is not empty); Failed leaves the system's
// error for the caller to report.
LockResult take_lock(const std::wstring& path, FileHandle& lock);
// Removes the lock file that `lock` holds (it says it is ours) while the lock is still held;
// false when the removal failed. A file at `path` that is no longer the held one is left alone.
bool remove_held_lock(FileHandle lock, const std::wstring& path);

// ---------------------------------------------------------------- the in-process unpacker
// One run of the unpacker over a whole package file, and over `length` bytes of `file` from
// `offset` on (a range that the caller has checked can be addressed; only called where
// kUnpacksFileRange is true). DestinationUnusable and Failed leave the system's error behind.
UnpackResult unpack_file(const std::wstring& package, const std::wstring& destination,
                         const std::function<void()>& poll);
UnpackResult unpack_range(const std::wstring& file, uint64_t offset, uint64_t length,
                          const std::wstring& destination, const std::function<void()>& poll);
// secure_unpacked_tree without its fault check and report: false with the system's error left behind.
bool secure_tree(const std::wstring& tree);

}  // namespace backend
}  // namespace plat
