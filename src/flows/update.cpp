// The update run: the installed application has downloaded a package and started us with
// --update; its files are written over the installation in place, as one transaction: whatever
// the update displaces waits in its rollback area until the new version has been seen to start,
// so that a failure at any step, a kill, or a new version that crashes at once leaves the
// previous version whole. The running updater never moves its own folder.
#include "flows/update.h"

#include <algorithm>
#include <memory>

#include "common/filetree.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/state.h"
#include "common/strings.h"
#include "flows/messages.h"
#include "install/app_entry.h"
#include "install/instances.h"
#include "install/lock.h"
#include "install/ownership.h"
#include "install/record.h"
#include "install/rollback.h"
#include "install/settle.h"
#include "install/unpack.h"
#include "install/update_writer.h"
#include "package/workdir.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kDefaultWatchMs = 10000;
uint32_t health_watch_ms = kDefaultWatchMs;

const wchar_t kCannotWrite[] = L"无法写入安装目录。";
const wchar_t kPreviousKept[] = L"已恢复更新前的版本。";

// What one run holds from the lock to its end: the lock (so that no other run settles this
// update's journal while the new version is watched) and the rollback area.
struct UpdateRun {
  std::wstring install_dir;
  plat::FileIdentity package_identity;
  bool began = false;   // the lock is held over a proven installation: the package is consumed
  InstallationLock lock;
  std::unique_ptr<UpdateRollback> rollback;
};

// Takes back what the update wrote; `error` gains the outcome: the previous version kept, or
// which file is left.
void undo_update(UpdateRun& run, std::wstring& error) {
  std::wstring left;
  error += run.rollback->undo(left) ? std::wstring(kPreviousKept) : left;
}

// Unpacks the package beside the installation and writes it over D through the rollback area;
// false with `error` set and D as it was.
bool unpack_and_write(const std::wstring& package, UpdateRun& run, std::wstring& error) {
  const std::wstring& install_dir = run.install_dir;
  set_progress(L"正在解压更新包...", bar::kUpdateUnpacking);
  const std::wstring staging = join_path(install_dir, kUpdateStagingName);
  // The record and the uninstaller are written into the unpacked tree, so that they go into
  // place, and come back out, like every other file of the update.
  if (!mark_staging_tree(staging) || !unpack_package(PackageSource{package}, staging, error) ||
      !write_install_record(install_dir, staging)) {
    if (error.empty()) error = kCannotWrite;
    discard_work_tree(staging);
    return false;
  }

  run.rollback = std::make_unique<UpdateRollback>(install_dir);
  uint64_t files = 0, bytes = 0;
  count_tree(staging, files, bytes);
  ProgressThrottle throttle;
  throttle.total = files == 0 ? 1 : files;
  throttle.from = bar::kUpdateWriting.from;
  throttle.to = bar::kUpdateWriting.to;
  throttle.text = L"正在写入更新文件...";
  throttle.update(0, true);
  bool written = run.rollback->open() && write_update(staging, install_dir, *run.rollback, throttle);
  discard_work_tree(staging);   // what is left of it: the package's copies of files that stay
  written = written && run.rollback->set_phase(UpdatePhase::Written);
  if (!written) {
    error = kCannotWrite;
    undo_update(run, error);
    return false;
  }
  return true;
}

// Everything from reading the inputs to the new version being whole in D, its rollback area
// still there; false with `error` (maybe empty) set and D as it was.
bool write_new_version(const std::wstring& given_dir, const std::wstring& package, UpdateRun& run,
                       std::wstring& error) {
  // A link given as the installation stays as it is; the update works on the folder it names.
  run.install_dir = plat::resolve_directory_link(given_dir);
  const std::wstring& install_dir = run.install_dir;
  if (install_dir.empty() || package.empty()) {
    error = L"更新参数不完整。";
    return false;
  }
  // Never opened when it is no regular file: a pipe would hang the unpacker, a device or a
  // document given by mistake is not a package, and none of them may be deleted at the end.
  const plat::PathKind package_kind = plat::path_kind(package);
  if (package_kind == plat::PathKind::None) {
    error = kPackageNotFound;
    return false;
  }
  if (package_kind != plat::PathKind::File || !plat::file_identity(package, run.package_identity)) {
    error = L"更新包必须是普通文件，不能是链接、管道或设备。";
    return false;
  }
  set_progress(L"正在准备更新...", bar::kUpdatePreparing);
  if (!lock_installation(install_dir, run.lock, error)) return false;
  // Whatever a killed run left half done is completed or undone first.
  if (!settle_installation(install_dir, error)) return false;
  // Files are written over what is there: only over an installation.
  if (!is_installation(install_dir)) {
    error = kNotAnInstallation;
    return false;
  }
  run.began = true;
  if (!close_running_instances(install_dir, error)) return false;

  if (!unpack_and_write(package, run, error)) return false;
  set_progress(L"正在完成更新...", bar::kUpdateFinishing);
  log_line("已写入新版本：" + plat::wide_to_utf8(install_dir));
  return true;
}

// Why the started program counts as one that cannot start; empty when it is taken as healthy:
// still running when the watch ends, or ended by itself without a crash.
std::wstring watch_new_version(plat::ProcessHandle& process) {
  const uint32_t start = plat::tick_ms();
  for (;;) {
    const uint32_t elapsed = plat::tick_ms() - start;
    const uint32_t slice = elapsed >= health_watch_ms ? 0 : std::min(kEventSliceMs, health_watch_ms - elapsed);
    uint32_t code = 0;
    switch (plat::watch_program(process, slice, code)) {
      case plat::ProgramState::Running:
        if (elapsed < health_watch_ms) {
          pump_events();
          continue;
        }
        plat::close_process(process);   // it goes on without us
        log_line("新版本 Morvell 启动 " + std::to_string(elapsed) + " 毫秒后仍在运行");
        return L"";
      case plat::ProgramState::Exited:
        log_line("新版本 Morvell 已自行退出，退出码 " + std::to_string(code));
        return L"";
      case plat::ProgramState::Crashed:
        return L"启动后异常结束（" + std::to_wstring(code) + L"）";
      case plat::ProgramState::Unknown:
        log_line("无法观察新版本 Morvell 的运行，按正常启动处理");
        return L"";
    }
  }
}

// Starts the new version and watches it, without a window of ours; a version that cannot start
// is taken back and the previous one started again. False with `error` set then.
bool restart_new_version(UpdateRun& run, std::wstring& error) {
  // Nothing to start: nothing to watch, the update stays as written.
  if (!install_options.launch_after_install) {
    run.rollback->commit();
    return true;
  }
  hide_window();
  const std::wstring bin = join_path(run.install_dir, L"bin"), program = join_path(bin, L"Morvell.exe");
  plat::ProcessHandle process = plat::kNoProcess;
  const bool started = plat::launch_watched(program, {}, bin, process);
  log_detached_start(program, started);
  const std::wstring failure = started ? watch_new_version(process) : L"无法启动";
  if (failure.empty()) {
    run.rollback->commit();
    return true;
  }
  log_failure(L"新版本 Morvell " + failure + L"：" + program);
  // Once the journal says so, a run killed while the new version is taken back is undone to the
  // end by the next one; without that line the new version stays.
  if (!run.rollback->set_phase(UpdatePhase::Reverting)) {
    run.rollback->commit();
    error = L"新版本 Morvell 无法启动，且无法写入安装目录，未能恢复更新前的版本。";
    return false;
  }
  std::wstring left;
  if (!run.rollback->undo(left)) {
    error = L"新版本 Morvell 无法启动。" + left;
    return false;
  }
  log_detached_start(program, plat::launch_detached(program, {}, bin));
  error = L"新版本 Morvell 无法启动，已恢复到更新前的版本。";
  return false;
}

// The package goes only when the update began and it is still the regular file it was given.
void consume_package(const std::wstring& package, const UpdateRun& run) {
  plat::FileIdentity now;
  if (run.began && plat::path_kind(package) == plat::PathKind::File && plat::file_identity(package, now) &&
      now == run.package_identity)
    plat::delete_file(package);
}

}  // namespace

void set_health_watch_ms(uint32_t ms) { health_watch_ms = ms == 0 ? kDefaultWatchMs : ms; }

bool run_update() {
  set_busy(true);
  const std::wstring install_dir = clean_path_input(plat::utf8_to_wide(install_options.install_dir));
  const std::wstring package = plat::utf8_to_wide(install_options.package_path);
  std::wstring error;
  UpdateRun run;
  bool ok = write_new_version(install_dir, package, run, error);
  consume_package(package, run);
  cleanup_work_directory();
  set_busy(false);

  if (ok) {
    set_progress(L"更新完成，正在重新启动 Morvell...", 1.0);
    sleep_with_events(500);
    ok = restart_new_version(run, error);
    // The program list tells the version that stays, and its size once the rollback area is gone.
    if (ok) update_app_entry(run.install_dir);
  }
  if (ok) {
    exit_code = 0;
    quit_main_loop();
    return false;
  }
  exit_code = 4;
  const std::wstring message = error.empty() ? std::wstring(L"更新失败。") : error;
  set_status(message);
  show_message_dialog(MessageType::Error, plat::wide_to_utf8(message));
  quit_main_loop();
  return false;
}
