// Settling an installation before a run works on it: whatever a run that was killed left half
// done is completed or undone from its journal, so that D is a whole installation again.
#include "install/settle.h"

#include "install/config_backup.h"
#include "install/rollback.h"
#include "install/swap_journal.h"

bool settle_installation(const std::wstring& install_dir, std::wstring& error) {
  if (!settle_swap(install_dir, error)) return false;
  if (!settle_interrupted_update(install_dir, error)) return false;
  return settle_config(install_dir, error);   // a leftover update backup goes back first
}
