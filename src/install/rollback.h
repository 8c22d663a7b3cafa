// The rollback area of an update, a folder inside the installation marked as the installer's:
// every entry the update replaces or removes is first moved (never copied) into it, and its
// journal names each step before it is taken, so that the update can be undone to the byte by
// this run or, after a kill, by the next.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "install/update_journal.h"

extern const wchar_t kRollbackAreaName[];   // the area's name at the top of the installation
extern const wchar_t kUpdateStagingName[];  // the folder the update package is unpacked into

class UpdateRollback {
 public:
  explicit UpdateRollback(const std::wstring& install_dir);
  UpdateRollback(const UpdateRollback&) = delete;
  UpdateRollback& operator=(const UpdateRollback&) = delete;
  bool open();   // makes the area with its mark and its journal; false when it cannot
  // The steps of an update, each journaled before it is taken; false when it could not be taken.
  bool move_aside(const std::string& relative);                     // the installation's entry into the area
  bool put(const std::wstring& from, const std::string& relative);  // a new file into the installation
  bool make_folder(const std::string& relative);
  bool rename_aside(const std::string& relative, const std::string& to);   // a user's entry out of the way
  bool set_phase(UpdatePhase phase);
  // Takes every step back, the latest first; false with `error` naming the file that is left.
  bool undo(std::wstring& error);
  void commit();   // the update stays for good: the area goes

 private:
  bool journaled(JournalEntry::Kind kind, const std::string& relative, const std::string& to = std::string());
  std::wstring install_dir_, area_;
  UpdateJournal journal_;
  JournalWriter writer_;
  std::set<std::wstring> made_folders_;   // in the area, each made once
};

// D is an installation that an update was cut short in: its rollback area is this user's marked
// tree and a record naming D is in D or, moved out of the way by the update, in the area.
bool is_interrupted_update(const std::wstring& install_dir);
// Completes or undoes an update that a killed run left, from its journal, and clears the
// update's work trees; false with `error` naming what stands in the way (a tree that is not the
// installer's, or a file that could not be put back), which is then left as it is.
bool settle_interrupted_update(const std::wstring& install_dir, std::wstring& error);
void set_put_back_retry_ms(uint32_t ms);   // tests only; 0 = the default of 5 s
