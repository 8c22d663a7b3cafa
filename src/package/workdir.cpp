#include "package/workdir.h"

#include "install/external.h"
#include "install/filetree.h"
#include "common/strings.h"
#include "platform/platform.h"

static std::wstring program_override;

std::wstring work_program_path() { return program_override.empty() ? own_exe_path() : program_override; }

void set_work_program_path(const std::wstring& path) { program_override = path; }

std::wstring work_file_path(const std::wstring& name) {
  std::wstring dir = join_path(parent_path(work_program_path()), L"Morvell-Installer-Temp");
  create_directory_tree(dir);
  return join_path(dir, name);
}

void delete_work_file(const std::wstring& path) {
  if (path.empty()) return;
  std::wstring work = parent_path(work_file_path(L"placeholder"));
  // Only a file lying directly in the work directory, compared exactly: a package the user
  // named elsewhere, or something further down, is never touched.
  if (parent_path(path) == work) plat::delete_file(path);
}

void cleanup_work_directory() {
  std::wstring work = parent_path(work_file_path(L"placeholder"));
  remove_tree(work, L"正在清理临时文件...");
}
