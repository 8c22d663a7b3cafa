// The work directory of a run. It lies beside the program, where others may be able to write,
// so the run only ever uses a directory it made itself, afresh and private: whatever stood at
// that name before (a leftover, another user's folder, a link, a pipe) is removed first, never
// followed, and when the directory cannot be made the run's files there cannot be written.
#include "package/workdir.h"

#include "install/external.h"
#include "install/filetree.h"
#include "common/strings.h"
#include "platform/platform.h"

static std::wstring program_override;

// The work directory this run made and still owns; empty until then.
static std::wstring made_here;

std::wstring work_program_path() { return program_override.empty() ? own_exe_path() : program_override; }

void set_work_program_path(const std::wstring& path) { program_override = path; }

namespace {

std::wstring work_directory() { return join_path(parent_path(work_program_path()), L"Morvell-Installer-Temp"); }

// The work directory, made afresh when this run has none yet; empty when it cannot be made.
std::wstring own_work_directory() {
  const std::wstring dir = work_directory();
  if (made_here == dir && plat::path_kind(dir) == plat::PathKind::Directory) return dir;
  made_here.clear();
  create_directory_tree(parent_path(dir));
  plat::delete_tree_silently(dir);   // a link goes by itself; its target stays
  if (plat::make_private_directory(dir)) made_here = dir;
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
  made_here.clear();
  if (!work.empty()) remove_tree(work, L"正在清理临时文件...");
}
