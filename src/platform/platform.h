// The one layer between the installer and the operating system. Everything above it is
// platform-neutral C++17; only the files below src/platform/ include system headers.
// Paths are wide text in the platform's native form; nothing here shows a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plat {

// ---------------------------------------------------------------- fault seam
// Tests install a hook that is asked before every operation that changes the file system or
// starts, stops or waits for a process; when it answers true the operation fails as the
// system would have failed it. `op` names the operation ("rename", "copy_file", ...).
using FaultHook = std::function<bool(const char* op, const std::wstring& path)>;
void set_fault_hook(FaultHook hook);           // empty hook = no injected faults
bool fault_injected(const char* op, const std::wstring& path);  // asks the hook, if any

// ---------------------------------------------------------------- text and environment
extern const wchar_t kPathSeparator;           // separator of paths this program builds
extern const char kProgramSignature[];         // the first bytes of every program file of this system
// Native text to wide text and back. Windows: malformed bytes and unpaired surrogates become
// U+FFFD. POSIX, where names are bytes: each byte that does not decode becomes U+DC80..U+DCFF
// and goes back as that byte, so a name survives the round trip; other surrogates become U+FFFD.
std::wstring utf8_to_wide(const std::string& text);
std::string wide_to_utf8(const std::wstring& text);
std::wstring own_executable_path();            // full path of the running program, or empty when it does not fit
// The program's arguments as UTF-8 texts, its name first: POSIX takes argv as given (names are
// bytes there); Windows splits its own wide command line, whatever the process code page is.
std::vector<std::string> program_arguments(int argc, char** argv);
std::string environment_value(const char* name);       // empty when unset
// Well-known folders, by the classic shell-folder numbers used throughout the program.
constexpr int kFolderPrograms = 0x0002, kFolderDesktop = 0x0010, kFolderLocalAppData = 0x001C,
              kFolderProfile = 0x0028;
std::wstring shell_folder(int folder);         // the folder's path, or empty when unknown
std::wstring temporary_directory();            // the user's temporary directory
// A path made absolute against the current directory and lexically normal: no "." or ".."
// component and no doubled separator (".." stops at the root). Empty stays empty.
std::wstring absolute_path(const std::wstring& path);

// ---------------------------------------------------------------- command lines
// Quotes one argument by the Windows command-line rules (always quoted).
std::wstring quote_argument(const std::wstring& text);
// Splits a parameter string by the same rules, the inverse of quote_argument.
std::vector<std::wstring> split_command_line(const std::wstring& parameters);
// The parameters of a Windows command line that hands a program exactly `arguments`: options,
// plain words and command-interpreter switches bare, every other argument quoted.
std::wstring command_line_text(const std::vector<std::wstring>& arguments);
// A single-quoted PowerShell literal; every kind of single quote inside is doubled.
std::wstring quote_powershell_literal(const std::wstring& text);

// ---------------------------------------------------------------- time
uint32_t tick_ms();                            // millisecond counter that wraps at 2^32
void sleep_ms(uint32_t ms);
int64_t utc_seconds_now();                     // wall-clock time: seconds since 1970-01-01 00:00 UTC

// ---------------------------------------------------------------- diagnostics
std::string local_time_text();                 // local time "YYYY-MM-DD HH:MM:SS.mmm"
// The system's own code and text of this thread's last failure ("errno 2: No such file or directory").
std::string last_error_text();
// Failures of operations that change the disk reach one listener (the install log) with the
// operation, the path and the system's own error. With no listener nothing is formatted.
using FailureListener = std::function<void(const char* op, const std::wstring& path, const std::string& error)>;
void set_failure_listener(FailureListener listener);   // empty = nobody listens
// Tells the listener that `op` on `path` (to `to`, for a copy or a move) has just failed; call it
// right after the failing call. The system's last error is left as it was. Always false, for the
// failing operation to return.
bool report_failure(const char* op, const std::wstring& path, const std::wstring& to = std::wstring());
// Text for whoever started the program, on standard output or standard error. A program without
// a console of its own writes to its parent's; with none there either, the text is shown in a
// message box when `box_otherwise` asks for it, else it is dropped.
void show_user_text(const std::string& text, bool error_stream, bool box_otherwise);

// ---------------------------------------------------------------- file system
// A link is never followed; Special is a pipe, socket or device, which is never opened.
enum class PathKind { None, File, Directory, Link, Special };
PathKind path_kind(const std::wstring& path);
bool read_link(const std::wstring& path, std::wstring& target);   // the target text a link holds; false when unreadable
// A link given as a directory: the directory it finally names. Anything else (or a link that
// names nothing) comes back unchanged.
std::wstring resolve_directory_link(const std::wstring& path);
bool file_size(const std::wstring& path, uint64_t& size);   // size of a file (a link: its own size)
// Last-write time of a file or link (never followed), in the system's own units: only compared.
bool modification_time(const std::wstring& path, int64_t& time);
enum class MkdirResult { Created, AlreadyExists, Failed };
MkdirResult make_directory(const std::wstring& path);       // one level only
// Creates a new directory that only this user may enter; false when anything stands at that name.
bool make_private_directory(const std::wstring& path);
bool delete_file(const std::wstring& path);                  // a file or a link
bool remove_empty_directory(const std::wstring& path);
// File, link or whole tree; links are removed, never descended. `poll` (may be empty) runs after
// every entry removed, where the system removes entries one by one.
void delete_tree_silently(const std::wstring& path, const std::function<void()>& poll = {});
bool rename_replacing(const std::wstring& from, const std::wstring& to);   // same volume; replaces a file at `to`
bool is_read_only(const std::wstring& path);
bool clear_read_only(const std::wstring& path);
// Copies one file over `to` (replacing it), keeping its mode; a link is copied as a link.
// `progress` (may be empty) is called after every chunk with (file size, bytes so far).
using CopyProgress = std::function<void(uint64_t total, uint64_t transferred)>;
bool copy_file(const std::wstring& from, const std::wstring& to, const CopyProgress& progress);
struct DirEntry {
  std::wstring name;
  PathKind kind = PathKind::File;
  uint64_t size = 0;
};
// Lists a directory without "." and "..". False when it cannot be read.
bool list_directory(const std::wstring& path, std::vector<DirEntry>& entries);
bool make_executable(const std::wstring& path);              // no-op where files carry no such bit

// Streams over whole files. A handle below 0 is invalid.
using FileHandle = intptr_t;
constexpr FileHandle kNoFile = -1;
// Inputs are regular files: a link, pipe, socket or device at `path` is refused before anything
// is read from it (nothing blocks on it, nothing is followed).
FileHandle open_for_reading(const std::wstring& path);       // shared for reading
// open_for_reading of a file that is read once, front to back: the system reads ahead further.
FileHandle open_for_sequential_reading(const std::wstring& path);
FileHandle create_for_writing(const std::wstring& path);     // created or truncated, not shared
FileHandle create_new_file(const std::wstring& path);        // created here and now; fails when anything is at that name
// Opened for appending, created if missing (not its folders), shared with other writers; each
// write lands whole at the end of the file, whoever else appends at the same time. Only a
// regular file: a link, pipe, socket or device there is refused.
FileHandle open_for_appending(const std::wstring& path);
bool handle_size(FileHandle file, uint64_t& size);
bool seek_to(FileHandle file, uint64_t offset);
// Reads up to `size` bytes; returns the count (0 at end of file) or -1 on failure.
int64_t read_some(FileHandle file, void* buffer, size_t size);
// Writes the bytes; returns the count written (short or -1 on failure).
int64_t write_some(FileHandle file, const void* buffer, size_t size);
// Copies up to `size` bytes of `from`, starting at its byte `offset`, to the current position of
// `to`, with the system's own copy where it has one; returns the count (0 at end of `from`) or -1.
int64_t copy_some(FileHandle from, uint64_t offset, FileHandle to, size_t size);
void close_file(FileHandle file);

// ---------------------------------------------------------------- identity and locks
// True when both paths lead to one existing file-system object, however each is spelt.
bool same_file(const std::wstring& a, const std::wstring& b);
// Which object a path names, itself (a link is the link): equal identities are one object.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity& o) const { return volume == o.volume && index == o.index; }
};
bool file_identity(const std::wstring& path, FileIdentity& identity);   // false when nothing is there
// The object at `path` itself (never a link's target) belongs to the user running the installer:
// the same uid on POSIX; on Windows its owner is this user or the owner this user's files get.
bool owned_by_current_user(const std::wstring& path);
// Whether two texts name the same path as this system compares names: exactly on POSIX, without
// regard to letter case on Windows. Nothing is looked up.
bool same_path_text(const std::wstring& a, const std::wstring& b);
// The user's own folders that are never an installation and never an install target, whatever
// they hold: the home, the desktop, documents, downloads, music, pictures, videos, templates,
// the public folder, the programs folder, the data home and the like (a root is refused apart).
std::vector<std::wstring> user_folders();
// Exclusive locks that a lock file stands for; a lock ends with its holder, also when the
// holder dies. Taken without waiting: Busy while another holds it.
enum class LockResult { Taken, Busy, Failed };
LockResult try_lock_file(const std::wstring& path, FileHandle& lock);   // creates the file when missing
void unlock_file(FileHandle& lock, const std::wstring& path);           // removes the file when this program made it

// ---------------------------------------------------------------- processes
using ProcessHandle = intptr_t;
constexpr ProcessHandle kNoProcess = -1;
// Starts `program` (searched on PATH when it has no directory part) with `arguments`, each of
// which reaches the program as it is; `shown` asks for a visible window where that means anything.
bool start_process(const std::wstring& program, const std::vector<std::wstring>& arguments, bool shown,
                   ProcessHandle& process);
enum class WaitResult { Exited, TimedOut, Failed };
// Waits up to `timeout_ms`; on Exited the exit code is stored and the handle is closed.
WaitResult wait_process(ProcessHandle& process, uint32_t timeout_ms, uint32_t& exit_code);
void close_process(ProcessHandle& process);
// Ends a started process that is still running, waits until it is gone and closes the handle.
void end_process(ProcessHandle& process);
// Starts a program detached from this one (it outlives us), in `directory`, without waiting.
bool launch_detached(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     const std::wstring& directory);
// Starts a program as launch_detached does (it outlives us, nothing of ours ends it), keeping a
// handle by which watch_program tells how it is doing; close_process lets go of it.
bool launch_watched(const std::wstring& program, const std::vector<std::wstring>& arguments,
                    const std::wstring& directory, ProcessHandle& process);
// How a program from launch_watched stands after waiting up to `timeout_ms` for its end: Running
// (the handle stays); Exited with its exit code, or Crashed (ended by a signal on POSIX, `code`
// the signal; on Windows an exit code of 0xC0000000 or above, an NTSTATUS error), the handle
// closed; Unknown when it cannot be watched (the handle closed, the program left alone).
enum class ProgramState { Running, Exited, Crashed, Unknown };
ProgramState watch_program(ProcessHandle& process, uint32_t timeout_ms, uint32_t& code);
uint32_t current_process_id();
struct ProcessInfo {
  uint32_t pid = 0;
  std::wstring exe_name;   // file name of the process image
};
bool list_processes(std::vector<ProcessInfo>& processes);   // false when no snapshot could be taken
bool process_image_path(uint32_t pid, std::wstring& path);   // full image path; false when unknown
// Ends a process unconditionally; `held` keeps whatever must stay open until close_process.
bool terminate_process(uint32_t pid, ProcessHandle& held);
// Asks a process to close as the user would: Windows posts WM_CLOSE to each of its visible top-level
// windows, so that it can save its work first. False where there is no such request (POSIX).
bool ask_process_to_close(uint32_t pid);

// External tools, by platform: the command that unpacks a zip (method 1 or 2) and the one
// that removes a directory tree, as a program and its arguments for start_process.
bool archive_tool_command(int method, const std::wstring& package, const std::wstring& destination,
                          std::wstring& program, std::vector<std::wstring>& arguments);
void remove_tree_command(const std::wstring& path, std::wstring& program, std::vector<std::wstring>& arguments);

// The in-process unpacker (the last resort). `poll` runs between entries and data blocks (and
// while waiting), every 20 ms or so where the system allows, and keeps the window live.
// Entries that would land outside `destination` are refused.
enum class UnpackResult { Ok, InitFailed, PackageUnreadable, DestinationUnusable, Empty, Failed, TimedOut };
UnpackResult unpack_in_process(const std::wstring& package, const std::wstring& destination,
                               const std::function<void()>& poll);
// Whether unpack_range_in_process can unpack here (false where the last resort is a system
// component that reads only whole files).
extern const bool kUnpacksFileRange;
// unpack_in_process of the archive that is `length` bytes of `file` from `offset` on (an archive
// carried inside another file): nothing before or after that range is ever read. Where
// kUnpacksFileRange is false, InitFailed.
UnpackResult unpack_range_in_process(const std::wstring& file, uint64_t offset, uint64_t length,
                                     const std::wstring& destination, const std::function<void()>& poll);
// Makes an unpacked tree the installer's user's alone to change: the set-user-ID and set-group-ID
// bits and write permission for group and others come off every file and folder (links are not
// followed). False when that fails, or when anything in the tree belongs to another user (an
// unpacker that restored the owners stored in the package). True where files carry no such bits.
bool secure_unpacked_tree(const std::wstring& tree);

// ---------------------------------------------------------------- shortcuts and scripts
extern const wchar_t kShortcutExtension[];     // ".lnk" or ".desktop"
// Writes one program shortcut at `link` (replacing it). False when nothing was written.
bool write_shortcut(const std::wstring& target, const std::wstring& link, const std::wstring& directory,
                    const std::wstring& arguments, const std::wstring& description);
// Reads back the program and the arguments a shortcut starts; false when it is no shortcut.
bool read_shortcut(const std::wstring& link, std::wstring& target, std::wstring& arguments);
extern const wchar_t kRemovalScriptName[];      // file name of the uninstall script
// Text of the script that waits 2 s, removes `install_dir` only while it still holds the file
// `mark` (an installation made there since holds none) and no other run holds its lock, leaves
// for the temporary folder and removes `work_dir`; every path quoted so that no character of it
// changes the commands. Where the interpreter reads a script's bytes in a code page that cannot
// hold every name (Windows), the script reads the folders and the mark from MORVELL_INSTALL_DIR,
// MORVELL_WORK_DIR and MORVELL_UNINSTALL_MARK instead.
std::string removal_script_text(const std::wstring& install_dir, const std::wstring& work_dir,
                                const std::wstring& mark);
// Starts a script hidden, outliving this process, with MORVELL_INSTALL_DIR, MORVELL_WORK_DIR and
// MORVELL_UNINSTALL_MARK set in its environment.
bool run_script_detached(const std::wstring& script, const std::wstring& install_dir, const std::wstring& work_dir,
                         const std::wstring& mark);

// ---------------------------------------------------------------- the system's list of programs
// An installation's entry where the system lists the user's installed programs for removal
// (Windows: HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\<key>, neither modifiable
// nor repairable there). Where the system keeps no such list each of these does nothing and succeeds.
extern const bool kKeepsProgramList;   // false where there is no such list
struct UninstallEntry {
  std::wstring name, version;
  std::wstring icon;                      // the program whose icon stands for the installation
  std::wstring location;                  // the installation
  std::wstring uninstall_command, quiet_uninstall_command;   // whole command lines
  std::wstring install_date;              // YYYYMMDD
  uint32_t size_kib = 0;
};
bool write_uninstall_entry(const std::wstring& key, const UninstallEntry& entry);
// The version and size of an entry that exists; false when there is none.
bool update_uninstall_entry(const std::wstring& key, const std::wstring& version, uint32_t size_kib);
bool remove_uninstall_entry(const std::wstring& key);   // true when no entry is left

// ---------------------------------------------------------------- HTTP
enum class HttpStage { Done, BadUrl, InitFailed, ConnectFailed, RequestFailed, NetworkFailed,
                       Aborted, ReadFailed, DataFailed };
struct HttpHandlers {
  // Called once with the status (0 when unreadable) and the Content-Length (0 when absent or
  // unreadable as a 32-bit number); returning false aborts with stage Aborted.
  std::function<bool(long status, uint32_t content_length)> on_response;
  // Called with each piece of the body; returning false aborts with stage Aborted.
  std::function<bool(const char* data, size_t size)> on_data;
  // Called at least every 100 ms while the transfer waits or runs.
  std::function<void()> on_idle;
  // Set by the caller to ask for the rest of a file: "Range: bytes=<range_from>-" when not 0,
  // with "If-Range: <if_range>" when that is not empty.
  uint64_t range_from = 0;
  std::string if_range;
  // Filled from the head of the final answer before on_response; empty when absent.
  std::string etag;
  std::string last_modified;
  std::string content_range;
};
// One GET with the installer's identity: redirects followed (never from https to http),
// 30 s time-outs, TLS verified against the system trust store for https URLs.
HttpStage http_get(const std::string& url, HttpHandlers& handlers);

// ---------------------------------------------------------------- SHA-256
struct Sha256;                                   // opaque running digest
Sha256* sha256_begin();                          // null when unavailable
bool sha256_add(Sha256* digest, const void* data, size_t size);
bool sha256_finish(Sha256* digest, unsigned char out[32]);   // releases the digest
void sha256_discard(Sha256* digest);                         // releases without a result

// ---------------------------------------------------------------- signatures
// True only when `signature` (DER ECDSA-Sig-Value) is an ECDSA P-256 / SHA-256 signature of
// `data` by `public_key` (DER SubjectPublicKeyInfo of a P-256 key); any malformed input is false.
bool ecdsa_p256_verify(const std::string& public_key, const std::string& data, const std::string& signature);
// The point X || Y (64 bytes) of a DER SubjectPublicKeyInfo that holds a named-curve P-256 key in
// uncompressed form, the one form every backend accepts; false for any other key.
bool p256_public_point(const std::string& public_key, unsigned char point[64]);

}  // namespace plat
