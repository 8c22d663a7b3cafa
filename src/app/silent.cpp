#include "app/silent.h"

#include <string>

#include "common/log.h"
#include "common/state.h"
#include "common/strings.h"
#include "flows/uninstall.h"
#include "install/transaction.h"
#include "package/payload.h"
#include "package/workdir.h"
#include "platform/platform.h"

// A deployment script gets more than the exit code: the reason goes to standard error and the log.
static void report_failure(const std::wstring& error) {
  const std::wstring text = error.empty() ? std::wstring(L"安装失败。") : error;
  log_failure(text);
  plat::show_user_text(plat::wide_to_utf8(text) + "\n", true, false);
}

int32_t run_silent_install() {
  PackageSource package;
  bool copied = false;
  std::wstring error;
  if (!offline_package(package, copied, error)) {
    report_failure(error);
    // A copy that broke off halfway must not linger beside the program: remove it and the
    // work directory. Without a trailer no destination was chosen and nothing was created.
    if (copied && !package.file.empty()) {
      delete_work_file(package.file);
      cleanup_work_directory();
    }
    return 2;
  }
  PreviousVersion previous;
  bool ok = install_package(package, plat::utf8_to_wide(install_options.install_dir), install_options, error, previous);
  if (!ok) report_failure(error);
  // Morvell has started by now; the previous version goes before the exit code tells the end.
  remove_previous_version(previous);
  if (copied) delete_work_file(package.file);
  cleanup_work_directory();
  return ok ? 0 : 3;
}

int32_t run_silent_uninstall() {
  std::wstring error;
  if (start_uninstall(error)) return 0;
  report_failure(error);
  return 3;
}
