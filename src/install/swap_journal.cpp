// The journal of an install's swap. It is written before the installation is moved aside and
// names, by file identity, the previous installation and the new tree; while it exists the folder
// with the previous installation's identity is the real installation. A journal proves something
// only when it is this user's and the folders it names are still the ones standing there, and it
// is settled once: whoever settles it removes it.
#include "install/swap_journal.h"

#include <cstdio>
#include <cstring>

#include "common/filetree.h"
#include "install/messages.h"
#include "install/ownership.h"
#include "platform/platform.h"

namespace {

const char kHeading[] = "Morvell installer swap journal\n";

bool exists(const std::wstring& path) { return plat::path_kind(path) != plat::PathKind::None; }

std::wstring rollback_failed_message(const std::wstring& backup) {
  return L"无法回滚安装，原安装已保留在 " + backup + L"，请手动恢复后重试。";
}

std::wstring unreadable_message(const std::wstring& journal, const std::wstring& backup) {
  return L"上次安装留下的交换记录 " + journal + L" 无法核对，原安装可能保留在 " + backup +
         L"，两者均已原样保留，请检查后手动处理再重试。";
}

std::wstring cannot_remove_message(const std::wstring& path) {
  return L"无法删除 " + path + L"，请确认安装目录所在的文件夹可写后重试。";
}

std::string identity_line(const char* what, const plat::FileIdentity& id) {
  return std::string(what) + " " + std::to_string(id.volume) + " " + std::to_string(id.index) + "\n";
}

struct Journal {
  plat::FileIdentity previous, fresh;
};

// The journal at `path`, when it is this user's regular file and says exactly what we write.
bool read_journal(const std::wstring& path, Journal& journal) {
  std::string text;
  if (!plat::owned_by_current_user(path) || !read_small_file(path, 4096, text)) return false;
  unsigned long long pv = 0, pi = 0, nv = 0, ni = 0;
  char tail = 0;
  const size_t heading = std::strlen(kHeading);
  if (text.compare(0, heading, kHeading) != 0 ||
      std::sscanf(text.c_str() + heading, "previous %llu %llu\nnew %llu %llu%c", &pv, &pi, &nv, &ni, &tail) != 5 ||
      tail != '\n')
    return false;
  journal.previous = {pv, pi};
  journal.fresh = {nv, ni};
  return text == kHeading + identity_line("previous", journal.previous) + identity_line("new", journal.fresh);
}

bool identity_is(const std::wstring& path, const plat::FileIdentity& expected) {
  plat::FileIdentity id;
  return plat::file_identity(path, id) && id == expected && plat::owned_by_current_user(path);
}

// Clears the way at the staging name: only an empty folder or a marked tree of this user's goes.
bool free_staging(const SwapNames& names, std::wstring& error) {
  if (!exists(names.staging)) return true;
  if (!is_own_work_tree(names.staging)) {
    error = not_ours_message(names.staging);
    return false;
  }
  discard_work_tree(names.staging);
  if (!exists(names.staging)) return true;
  error = rollback_failed_message(names.backup);
  return false;
}

// Puts the backup named by `journal` back into D; the new tree, when it is in D, leaves first.
bool put_back(const std::wstring& install_dir, const SwapNames& names, const Journal& journal, std::wstring& error) {
  const bool new_in_place = exists(install_dir);
  if (new_in_place) {
    if (!identity_is(install_dir, journal.fresh)) {
      // Whatever stands in D now is not the tree this journal made: it is not ours to move.
      error = not_ours_message(install_dir) + rollback_failed_message(names.backup);
      return false;
    }
    // Marked before it moves, so that wherever a kill leaves it, it shows to be the installer's.
    std::wstring why;
    if (!free_staging(names, why) || !mark_staging_tree(install_dir) ||
        !plat::rename_replacing(install_dir, names.staging)) {
      error = why.empty() ? rollback_failed_message(names.backup) : why;
      return false;
    }
  }
  if (!plat::rename_replacing(names.backup, install_dir)) {
    if (new_in_place) plat::rename_replacing(names.staging, install_dir);
    error = rollback_failed_message(names.backup);
    return false;
  }
  if (new_in_place) discard_work_tree(names.staging);
  plat::delete_file(names.journal);
  return true;
}

// The journal claims nothing any more: it goes, and so does a backup that is only a leftover.
bool close_settled(const SwapNames& names, std::wstring& error) {
  if (!plat::delete_file(names.journal)) {
    error = cannot_remove_message(names.journal);
    return false;
  }
  if (is_own_marked_tree(names.backup)) discard_work_tree(names.backup, kRemovingPreviousStatus);
  return true;
}

}  // namespace

SwapNames swap_names(const std::wstring& install_dir) {
  return {install_dir + L".new", install_dir + L".old", install_dir + L".swap"};
}

std::string swap_journal_text(const std::wstring& previous_path, const std::wstring& fresh_path) {
  plat::FileIdentity previous, fresh;
  if (!plat::file_identity(previous_path, previous) || !plat::file_identity(fresh_path, fresh)) return std::string();
  return kHeading + identity_line("previous", previous) + identity_line("new", fresh);
}

bool open_swap_journal(const std::wstring& install_dir) {
  const std::wstring path = swap_names(install_dir).journal;
  const std::string text = swap_journal_text(install_dir, swap_names(install_dir).staging);
  if (text.empty()) return false;
  // Made here and now: a journal of anyone else's at that name is never written through.
  plat::FileHandle file = plat::create_new_file(path);
  if (file == plat::kNoFile) return false;
  const bool written = plat::write_some(file, text.data(), text.size()) == static_cast<int64_t>(text.size());
  plat::close_file(file);
  if (!written) plat::delete_file(path);
  return written;
}

bool close_swap_journal(const std::wstring& install_dir) {
  const SwapNames names = swap_names(install_dir);
  // Marked before the journal goes, so that a run killed before the backup is removed leaves a
  // tree that the next run can show to be the installer's; while the journal stays, the backup
  // is the installation, unmarked.
  if (!mark_staging_tree(names.backup)) return false;
  if (plat::delete_file(names.journal)) return true;
  unmark_tree(names.backup);
  return false;
}

bool undo_swap(const std::wstring& install_dir, std::wstring& error) {
  const SwapNames names = swap_names(install_dir);
  Journal journal;
  if (!read_journal(names.journal, journal) || !identity_is(names.backup, journal.previous)) {
    error = rollback_failed_message(names.backup);
    return false;
  }
  return put_back(install_dir, names, journal, error);
}

namespace {

bool settle_once(const std::wstring& install_dir, std::wstring& error) {
  const SwapNames names = swap_names(install_dir);
  const plat::PathKind kind = plat::path_kind(names.journal);
  if (kind == plat::PathKind::None) return true;
  if (kind != plat::PathKind::File || !plat::owned_by_current_user(names.journal)) {
    error = not_ours_message(names.journal);
    return false;
  }
  Journal journal;
  if (!read_journal(names.journal, journal)) {
    // Only the start of our own text is a journal cut short while it was written, before anything
    // moved; any other file at that name is somebody's, and so is a backup standing beside it.
    std::string text;
    const std::string heading = kHeading;
    const bool cut_short = read_small_file(names.journal, 4096, text) &&
                           (heading.compare(0, text.size(), text) == 0 || text.compare(0, heading.size(), heading) == 0);
    if (!cut_short) {
      error = not_ours_message(names.journal);
      return false;
    }
    if (exists(names.backup) && !is_own_marked_tree(names.backup)) {
      error = unreadable_message(names.journal, names.backup);
      return false;
    }
    return close_settled(names, error);
  }
  // The backup is marked only once the new installation is whole: the journal was being closed.
  if (is_own_marked_tree(names.backup)) return close_settled(names, error);
  if (exists(names.backup) && identity_is(names.backup, journal.previous))
    return put_back(install_dir, names, journal, error);
  if (exists(names.backup)) {
    error = not_ours_message(names.backup);
    return false;
  }
  // The previous installation never left D (or is not where the journal put it): nothing to undo.
  // A new tree that was staged for it is the installer's own.
  if (exists(names.staging) && identity_is(names.staging, journal.fresh)) discard_work_tree(names.staging);
  return plat::delete_file(names.journal) || (error = cannot_remove_message(names.journal), false);
}

}  // namespace

bool settle_swap(const std::wstring& install_dir, std::wstring& error) {
  // A journal that outlived the put-back it asked for (its removal failed) names a settled state:
  // the second pass finds the installation in D and only removes the journal.
  for (int pass = 0; pass < 2; ++pass) {
    if (!settle_once(install_dir, error)) return false;
    if (plat::path_kind(swap_names(install_dir).journal) == plat::PathKind::None) return true;
  }
  error = cannot_remove_message(swap_names(install_dir).journal);
  return false;
}
