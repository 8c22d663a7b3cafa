// The journal of an install's swap.
#include "install/swap_journal.h"

#include <cstring>

#include "install/filetree.h"
#include "install/ownership.h"
#include "platform/platform.h"

namespace {

bool exists(const std::wstring& path) { return plat::path_kind(path) != plat::PathKind::None; }

std::wstring rollback_failed_message(const std::wstring& backup) {
  return L"无法回滚安装，原安装已保留在 " + backup + L"，请手动恢复后重试。";
}

// Records that the installation is about to be moved aside. False when the record cannot be made.
}  // namespace

bool open_swap_journal(const std::wstring& marker) {
  plat::FileHandle file = plat::create_for_writing(marker);
  if (file == plat::kNoFile) return false;
  const size_t size = std::strlen(kSwapJournalText);
  bool written = plat::write_some(file, kSwapJournalText, size) == static_cast<int64_t>(size);
  plat::close_file(file);
  if (!written) plat::delete_file(marker);
  return written;
}

// Puts the previous installation back from the backup: the new tree in D goes first.
// On failure the backup and the marker stay, so no later run takes the backup for stale.
bool undo_swap(const std::wstring& install_dir, const std::wstring& backup, const std::wstring& marker,
               std::wstring& error) {
  if (exists(install_dir)) delete_tree(install_dir);
  if (!plat::rename_replacing(backup, install_dir)) {
    error = rollback_failed_message(backup);
    return false;
  }
  plat::delete_file(marker);
  return true;
}

// Finishes a swap that an earlier run left half done. True when nothing stands in the way.
bool settle_swap(const std::wstring& install_dir, std::wstring& error) {
  const std::wstring backup = install_dir + L".old", marker = install_dir + L".swap";
  // Only a whole journal claims the backup; an empty one was cut short before anything moved.
  bool marked = is_open_journal(marker);
  if (!marked && exists(marker)) plat::delete_file(marker);
  bool has_backup = plat::path_kind(backup) == plat::PathKind::Directory;
  if (marked && has_backup) return undo_swap(install_dir, backup, marker, error);
  if (!exists(install_dir) && has_backup) {
    // No journal, but the installation only survives in the backup: put it back.
    if (!plat::rename_replacing(backup, install_dir)) {
      error = rollback_failed_message(backup);
      return false;
    }
    return true;
  }
  // A marker without a backup: the swap had not begun, or D already is a complete tree.
  if (marked && !plat::delete_file(marker)) {
    error = L"无法备份当前安装目录，请关闭正在运行的 Morvell 后重试。";
    return false;
  }
  return true;
}

