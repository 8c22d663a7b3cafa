// Writing an unpacked update over the installation it updates, every step through the update's
// rollback area, so that whatever is written can be taken back.
#pragma once

#include <string>

class UpdateRollback;
struct ProgressThrottle;

// Puts every file of `staging` into `install_dir` at its relative place. The installation's
// entry in the way goes into the rollback area first; in `config` the user's file wins over the
// package's, a user's entry in the way of the package's is renamed beside it, and a link to a
// folder stays with nothing written behind it. The running program's own file is never
// replaced. The throttle advances by one for every file of `staging`. False when a step failed:
// the steps taken so far are in the rollback area's journal.
bool write_update(const std::wstring& staging, const std::wstring& install_dir, UpdateRollback& rollback,
                  ProgressThrottle& throttle);
