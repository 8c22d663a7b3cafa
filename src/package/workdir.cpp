// The work directory of a run. It lies beside the program, where others may be able to write,
// so the run only ever uses a directory it made itself, afresh and private (0700, or an access
// list for this user alone), with a lock file inside that marks it and that the run holds while it
// lives. A leftover of this user's that nobody holds goes; whatever else stands at the name
// (another run's directory, another user's, a folder of the user's, a link, a pipe) stays as it
// is and the run takes the next name ("Morvell-Installer-Temp-2", ...), so two runs of one
// program never share one.
#include "package/workdir.h"

#include <vector>

#include "install/external.h"
#include "install/filetree.h"
#include "common/strings.h"
#include "platform/platform.h"

static std::wstring program_override;

// The work directory this run made and still owns, and the lock that shows it is in use; empty
// until then.
static std::wstring made_here;
static plat::FileHandle held = plat::kNoFile;
// The lock file inside a work directory: it marks the directory as a run's of this user, and
// while that run lives it holds the lock.
static const wchar_t kWorkLock[] = L".morvell-work.lock";

std::wstring work_program_path() { return program_override.empty() ? own_exe_path() : program_override; }

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

// What stands at `dir` is a work directory of this user's that no live run holds: it goes.
// Anything else (another run's, another user's, a folder of the user's, a link) stays.
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
  plat::unlock_file(leftover, lock);
  plat::delete_tree_silently(dir);
  return plat::path_kind(dir) == plat::PathKind::None;
}

// Makes `dir` afresh, private, and takes its lock.
bool make_own(const std::wstring& dir) {
  if (!plat::make_private_directory(dir)) return false;
  if (plat::try_lock_file(join_path(dir, kWorkLock), held) == plat::LockResult::Taken) return true;
  plat::delete_tree_silently(dir);
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
  // The lock goes first: a directory without it is nobody's to take, and ours to remove.
  if (held != plat::kNoFile) plat::unlock_file(held, join_path(work, kWorkLock));
  made_here.clear();
  if (!work.empty()) remove_tree(work, L"正在清理临时文件...");
}
