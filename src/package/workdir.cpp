// The work directory of a run. It lies beside the program, where others may be able to write,
// so the run only ever uses a directory it made itself, afresh and private (0700, or an access
// list for this user alone), with a lock file inside that marks it and that the run holds while it
// lives. A leftover of this user's that nobody holds goes; whatever else stands at the name
// (another run's directory, another user's, a folder of the user's, a link, a pipe) stays as it
// is and the run takes the next name ("Morvell-Installer-Temp-2", ...), so two runs of one
// program never share one.
#include "package/workdir.h"

#include <vector>

#include "common/external.h"
#include "common/filetree.h"
#include "common/strings.h"
#include "package/messages.h"
#include "platform/platform.h"

static std::wstring program_override;

// The work directory this run made and still owns, and the lock that shows it is in use; empty
// until then.
static std::wstring made_here;
static plat::FileHandle held = plat::kNoFile;
// The lock file inside a work directory: it marks the directory as a run's of this user, and
// while that run lives it holds the lock.
static const wchar_t kWorkLock[] = L".morvell-work.lock";

std::wstring work_program_path() { return program_override.empty() ? plat::own_executable_path() : program_override; }

void set_work_program_path(const std::wstring& path) {
  // Another program file, another work folder: the one held so far is let go.
  if (held != plat::kNoFile) plat::unlock_file(held, join_path(made_here, kWorkLock));
  made_here.clear();
  program_override = path;
}

namespace {

constexpr int kNames = 20;

std::wstring work_directory(int n) {
  std::wstring name = L"Morvell-Installer-Temp";
  if (n > 1) name += L"-" + std::to_wstring(n);
  return join_path(parent_path(work_program_path()), name);
}

// Removes everything in `dir` but its lock file, which the caller holds: no other run takes the
// name meanwhile. The clean-up of this run's own directory says so in the window; a leftover of
// an earlier run goes without a word.
void discard_all_but_lock(const std::wstring& dir, bool shown) {
  std::vector<plat::DirEntry> entries;
  if (!plat::list_directory(dir, entries)) return;
  for (const auto& entry : entries) {
    if (entry.name == kWorkLock) continue;
    if (shown)
      remove_tree_with_tool(join_path(dir, entry.name), kCleaningWorkStatus);
    else
      plat::delete_tree_silently(join_path(dir, entry.name));
  }
}

// What stands at `dir` is a work directory of this user's that no live run holds: it goes.
// Anything else (another run's, another user's, a folder of the user's, a link) stays. A live
// run's directory never looks like a leftover: its lock file appears already held, and before
// that it is empty, and an empty directory goes only as a whole (never one that holds something).
bool clear_leftover(const std::wstring& dir) {
  const std::wstring lock = join_path(dir, kWorkLock);
  // Made by a run killed before it could take the lock: empty, so nothing is lost with it.
  std::vector<plat::DirEntry> entries;
  if (plat::path_kind(dir) == plat::PathKind::Directory && plat::owned_by_current_user(dir) &&
      plat::list_directory(dir, entries) && entries.empty())
    return plat::remove_empty_directory(dir);
  if (plat::path_kind(dir) != plat::PathKind::Directory || !plat::owned_by_current_user(dir) ||
      plat::path_kind(lock) != plat::PathKind::File || !plat::owned_by_current_user(lock))
    return false;
  plat::FileHandle leftover = plat::kNoFile;
  if (plat::try_lock_file(lock, leftover) != plat::LockResult::Taken) return false;
  discard_all_but_lock(dir, false);
  plat::unlock_file(leftover, lock);
  plat::remove_empty_directory(dir);
  return plat::path_kind(dir) == plat::PathKind::None;
}

// Makes `dir` afresh, private, and takes its lock. A directory that another run cleared or
// took meanwhile is left to it: only an empty one of ours goes again.
bool make_own(const std::wstring& dir) {
  if (!plat::make_private_directory(dir)) return false;
  const plat::LockResult taken = plat::try_lock_file(join_path(dir, kWorkLock), held);
  if (taken == plat::LockResult::Taken) return true;
  if (taken == plat::LockResult::Failed && plat::path_kind(dir) == plat::PathKind::Directory) plat::remove_empty_directory(dir);
  return false;
}

// The work directory, made afresh when this run has none yet; empty when it cannot be made. The
// usual name is taken by one run at a time: a run that finds it in use takes the next one.
std::wstring own_work_directory() {
  if (!made_here.empty() && parent_path(made_here) == parent_path(work_directory(1)) &&
      plat::path_kind(made_here) == plat::PathKind::Directory)
    return made_here;
  if (held != plat::kNoFile) plat::unlock_file(held, join_path(made_here, kWorkLock));
  made_here.clear();
  create_directory_tree(parent_path(work_directory(1)));
  for (int n = 1; n <= kNames; ++n) {
    const std::wstring dir = work_directory(n);
    if (plat::path_kind(dir) != plat::PathKind::None && !clear_leftover(dir)) continue;
    if (make_own(dir)) {
      made_here = dir;
      break;
    }
  }
  return made_here;
}

}  // namespace

std::wstring work_file_path(const std::wstring& name) {
  const std::wstring dir = own_work_directory();
  // No path at all rather than one into a directory someone else holds.
  if (dir.empty()) return std::wstring();
  // Only this run writes here: an earlier file of this name is this run's own and goes, so that
  // the file can be created anew.
  const std::wstring path = join_path(dir, name);
  plat::delete_tree_silently(path);
  return path;
}

void delete_work_file(const std::wstring& path) {
  if (path.empty()) return;
  // Only a file lying directly in this run's work directory, compared exactly: a package the
  // user named elsewhere, or something further down, is never touched.
  const std::wstring work = own_work_directory();
  if (!work.empty() && parent_path(path) == work) plat::delete_file(path);
}

void cleanup_work_directory() {
  // Made afresh first, so that a leftover of an earlier run goes as well.
  const std::wstring work = own_work_directory();
  if (work.empty()) return;
  // Emptied while the lock is held, the lock last.
  discard_all_but_lock(work, true);
  plat::unlock_file(held, join_path(work, kWorkLock));
  made_here.clear();
  plat::remove_empty_directory(work);
}
