// Settling an installation before a run works on it: whatever a run that was killed left half
// done is completed or undone from its journal, so that D is a whole installation again.
#include "install/settle.h"

#include "install/config_backup.h"
#include "install/ownership.h"
#include "install/rollback.h"
#include "install/swap_journal.h"

bool settle_installation(const std::wstring& install_dir, std::wstring& error) {
  if (!settle_swap(install_dir, error)) return false;
  if (!settle_interrupted_update(install_dir, error)) return false;
  return settle_config(install_dir, error);   // a leftover update backup goes back first
}

bool unsettled_target_is_ours(const std::wstring& install_dir, std::wstring& error) {
  // Half written, an installation may lack its record or its program until its journal is settled.
  if (!is_user_folder(install_dir) && is_interrupted_update(install_dir)) return true;
  return install_target_is_ours(install_dir, error);
}
