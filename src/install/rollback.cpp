// The rollback area of an update. The area holds its mark, the journal and, under "files", every
// entry the update moved out of the way at its own relative path. The journal is made before the
// first step and every step is written to it before it is taken, so a run killed at any moment
// leaves a journal that names everything it may have done; undoing a step that had not happened
// finds nothing to do. An area without a journal has nothing left to undo.
#include "install/rollback.h"

#include <map>

#include "common/filetree.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/strings.h"
#include "install/messages.h"
#include "install/ownership.h"
#include "platform/platform.h"

const wchar_t kRollbackAreaName[] = L"Morvell-Update-Rollback";
const wchar_t kUpdateStagingName[] = L"Morvell-Update-Temp";

namespace {

const wchar_t kJournalName[] = L"journal";
const wchar_t kFilesName[] = L"files";
constexpr uint32_t kDefaultRetryMs = 5000;
uint32_t put_back_retry_ms = kDefaultRetryMs;

bool exists(const std::wstring& path) { return plat::path_kind(path) != plat::PathKind::None; }

bool is_empty_folder(const std::wstring& path) {
  std::vector<plat::DirEntry> entries;
  return plat::list_directory(path, entries) && entries.empty();
}

// Where the entry that stood at each place before the update went (into the area, or aside):
// what the update put at a place is taken away only while that entry is still gone, so that a
// second pass over the journal (a run killed while undoing it) never removes what came back.
std::map<std::string, std::wstring> displaced_entries(const UpdateJournal& journal, const std::wstring& install_dir,
                                                      const std::wstring& files) {
  std::map<std::string, std::wstring> displaced;
  for (const JournalEntry& entry : journal.entries) {
    if (entry.kind == JournalEntry::Moved) displaced[entry.path] = path_below(files, entry.path);
    if (entry.kind == JournalEntry::Aside) displaced[entry.path] = path_below(install_dir, entry.to);
  }
  return displaced;
}

// Takes one step back. False with `left` set to the path that is not as it was.
bool undo_step(const JournalEntry& entry, const std::wstring& install_dir, const std::wstring& files,
               const std::map<std::string, std::wstring>& displaced, std::wstring& left) {
  const std::wstring place = path_below(install_dir, entry.path);
  if (place.empty()) return true;   // a name that would leave the installation is not followed
  left = place;
  const plat::PathKind kind = plat::path_kind(place);
  if (entry.kind == JournalEntry::Added || entry.kind == JournalEntry::Folder) {
    const auto original = displaced.find(entry.path);
    if (original != displaced.end() && plat::path_kind(original->second) == plat::PathKind::None) return true;
  }
  switch (entry.kind) {
    case JournalEntry::Added:
      if (kind == plat::PathKind::None) return true;
      if (kind == plat::PathKind::Directory) return false;
      if (plat::is_read_only(place)) plat::clear_read_only(place);
      return plat::delete_file(place);
    case JournalEntry::Folder:
      if (kind != plat::PathKind::Directory) return true;
      // Something in it that the update did not put there is not the update's to remove.
      if (!is_empty_folder(place)) {
        log_line("更新建立的文件夹中有其他文件，已保留：" + plat::wide_to_utf8(place));
        return true;
      }
      return plat::remove_empty_directory(place);
    case JournalEntry::Moved: {
      const std::wstring kept = path_below(files, entry.path);
      if (plat::path_kind(kept) == plat::PathKind::None) return true;   // never moved, or back already
      return kind == plat::PathKind::None && plat::rename_replacing(kept, place);
    }
    case JournalEntry::Aside: {
      const std::wstring renamed = path_below(install_dir, entry.to);
      if (renamed.empty() || plat::path_kind(renamed) == plat::PathKind::None) return true;
      return kind == plat::PathKind::None && plat::rename_replacing(renamed, place);
    }
  }
  return true;
}

// Undoes every step of `journal`, the latest first. A step that fails is tried again (a scanner
// or another program may hold the file for a moment) until the retry time has passed since the
// first failure; then the run stops and `error` says which file is left and where its original is.
bool undo_journal(const UpdateJournal& journal, const std::wstring& install_dir, const std::wstring& area,
                  std::wstring& error) {
  const std::wstring files = join_path(area, kFilesName);
  const std::map<std::string, std::wstring> displaced = displaced_entries(journal, install_dir, files);
  bool waiting = false;
  uint32_t since = 0;
  for (size_t i = journal.entries.size(); i-- > 0;) {
    std::wstring left;
    while (!undo_step(journal.entries[i], install_dir, files, displaced, left)) {
      if (!waiting) since = plat::tick_ms();
      waiting = true;
      if (plat::tick_ms() - since > put_back_retry_ms) {
        const std::wstring kept = path_below(files, journal.entries[i].path);
        error = L"未能完全恢复更新前的版本：无法还原 " + left;
        if (!kept.empty() && exists(kept)) error += L"（原来的文件在 " + kept + L"）";
        error += L"。请关闭占用它的程序后再运行一次安装或更新，未完成的恢复会接着进行。";
        log_failure(error);
        return false;
      }
      pulse_progress(kRevertingUpdateStatus);
      sleep_with_events(100);
    }
    if (i % 64 == 0) pump_events();
  }
  return true;
}

}  // namespace

UpdateRollback::UpdateRollback(const std::wstring& install_dir)
    : install_dir_(install_dir), area_(join_path(install_dir, kRollbackAreaName)) {}

bool UpdateRollback::open() {
  journal_ = UpdateJournal();
  return !exists(area_) && mark_staging_tree(area_) && create_directory_tree(join_path(area_, kFilesName)) &&
         writer_.create(join_path(area_, kJournalName));
}

bool UpdateRollback::journaled(JournalEntry::Kind kind, const std::string& relative, const std::string& to) {
  JournalEntry entry;
  entry.kind = kind;
  entry.path = relative;
  entry.to = to;
  if (!writer_.add(entry)) return false;
  journal_.entries.push_back(entry);
  return true;
}

bool UpdateRollback::move_aside(const std::string& relative) {
  const std::wstring kept = path_below(join_path(area_, kFilesName), relative);
  if (kept.empty() || !journaled(JournalEntry::Moved, relative)) return false;
  const std::wstring folder = parent_path(kept);
  if (made_folders_.insert(folder).second) create_directory_tree(folder);
  return plat::rename_replacing(path_below(install_dir_, relative), kept);
}

bool UpdateRollback::put(const std::wstring& from, const std::string& relative) {
  return journaled(JournalEntry::Added, relative) && plat::rename_replacing(from, path_below(install_dir_, relative));
}

bool UpdateRollback::make_folder(const std::string& relative) {
  return journaled(JournalEntry::Folder, relative) &&
         plat::make_directory(path_below(install_dir_, relative)) == plat::MkdirResult::Created;
}

bool UpdateRollback::rename_aside(const std::string& relative, const std::string& to) {
  return journaled(JournalEntry::Aside, relative, to) &&
         plat::rename_replacing(path_below(install_dir_, relative), path_below(install_dir_, to));
}

bool UpdateRollback::set_phase(UpdatePhase phase) {
  if (!writer_.set_phase(phase)) return false;
  journal_.phase = phase;
  return true;
}

bool UpdateRollback::undo(std::wstring& error) {
  if (!undo_journal(journal_, install_dir_, area_, error)) return false;
  writer_.close();
  discard_work_tree(area_);
  return true;
}

void UpdateRollback::commit() {
  writer_.close();
  discard_work_tree(area_, kRemovingPreviousStatus);
}

bool is_interrupted_update(const std::wstring& install_dir) {
  const std::wstring area = join_path(install_dir, kRollbackAreaName);
  if (!is_own_marked_tree(area)) return false;
  return is_recorded_installation(install_dir) ||
         is_recorded_installation(install_dir, join_path(join_path(area, kFilesName), L"install-info.json"));
}

bool settle_interrupted_update(const std::wstring& install_dir, std::wstring& error) {
  const std::wstring area = join_path(install_dir, kRollbackAreaName), journal_path = join_path(area, kJournalName);
  if (exists(area)) {
    if (!is_own_work_tree(area)) {
      error = not_ours_message(area);
      return false;
    }
    UpdateJournal journal;
    if (exists(journal_path)) {
      if (!plat::owned_by_current_user(journal_path) || !read_journal(journal_path, journal)) {
        error = not_ours_message(journal_path);
        return false;
      }
      // A journal past its writing phase stands for a whole new version: it stays. That is also
      // so when the run was cut short while it watched the new version start: the program ran
      // as long as anyone could see, and taking it back now, perhaps under its feet, could mix
      // the versions.
      if (journal.phase != UpdatePhase::Written) {
        if (!undo_journal(journal, install_dir, area, error)) return false;
        log_line("已撤销上次中断的更新：" + plat::wide_to_utf8(install_dir));
      } else {
        log_line("上次中断的更新已完整写入，予以保留：" + plat::wide_to_utf8(install_dir));
      }
    }
    discard_work_tree(area, kRemovingPreviousStatus);
  }
  const std::wstring staging = join_path(install_dir, kUpdateStagingName);
  if (exists(staging)) {
    if (!is_own_work_tree(staging)) {
      error = not_ours_message(staging);
      return false;
    }
    discard_work_tree(staging);
  }
  return true;
}

void set_put_back_retry_ms(uint32_t ms) { put_back_retry_ms = ms == 0 ? kDefaultRetryMs : ms; }
