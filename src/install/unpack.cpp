// Unpacking packages with the tools the system offers and then with our own unpacker.
#include "install/unpack.h"

#include <functional>
#include <vector>

#include "common/external.h"
#include "common/filetree.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/strings.h"
#include "install/messages.h"
#include "install/ownership.h"
#include "platform/platform.h"

namespace {

// An unpacker that claims success but left no file behind has unpacked nothing.
bool holds_files(const std::wstring& directory) {
  if (plat::path_kind(directory) != plat::PathKind::Directory) return false;
  uint64_t files = 0, bytes = 0;
  count_tree(directory, files, bytes);
  return files > 0;
}

// What an unpacker left must stay inside the destination and hold only files, folders and
// links: a package that brings a link out of it, or a pipe or device, is refused as a whole.
bool unpacked_safely(const std::wstring& destination, std::wstring& error) {
  if (tree_is_self_contained(destination)) return true;
  error = kUnpackFailed;
  return false;
}

const wchar_t* unpack_message(plat::UnpackResult result) {
  switch (result) {
    case plat::UnpackResult::InitFailed: return kUnpackerInitFailed;
    case plat::UnpackResult::PackageUnreadable: return kCannotOpenPackage;
    case plat::UnpackResult::DestinationUnusable: return kCannotOpenInstallDir;
    case plat::UnpackResult::Empty: return kPackageEmpty;
    case plat::UnpackResult::TimedOut: return kUnpackTimedOut;
    case plat::UnpackResult::Failed:
    case plat::UnpackResult::Ok: break;
  }
  return kUnpackFailed;
}

// A package may not bring a name the installer keeps for its own state (a work tree, a journal,
// the record): the installer would take it for its own and act on it.
bool brings_installer_names(const std::wstring& destination) {
  std::vector<plat::DirEntry> entries;
  if (!plat::list_directory(destination, entries)) return true;
  std::vector<plat::DirEntry> inside;
  for (const plat::DirEntry& entry : entries) {
    if (!is_installer_name(entry.name)) continue;
    // The mark of the staging tree is ours; anything the package put into it is not.
    if (entry.name != kStagingMark || entry.kind != plat::PathKind::Directory ||
        !plat::list_directory(join_path(destination, entry.name), inside) || !inside.empty())
      return true;
  }
  return false;
}

// What a method leaves counts only once the tree is fit to install: nothing leading out of it,
// none of the installer's own names and no set-ID bits from the package.
bool finish_unpack(const std::wstring& destination, std::wstring& error) {
  if (!unpacked_safely(destination, error)) return false;
  if (brings_installer_names(destination)) {
    error = unpack_message(plat::UnpackResult::Failed);
    return false;
  }
  if (plat::secure_unpacked_tree(destination)) return true;
  error = unpack_message(plat::UnpackResult::Failed);
  return false;
}

// Each method starts from an empty tree: what a failed one wrote never mixes with the next one's.
// The callers unpack into a staging folder of their own; anything else at that name stays, and
// so does the mark that shows the staging tree is the installer's.
void empty_destination(const std::wstring& destination) {
  std::vector<plat::DirEntry> entries;
  if (plat::path_kind(destination) == plat::PathKind::Directory && plat::list_directory(destination, entries)) {
    for (const plat::DirEntry& entry : entries)
      if (entry.name != kStagingMark) remove_tree_in_process(join_path(destination, entry.name));
  }
  create_directory_tree(destination);
}

// Runs the in-process unpacker, which polls often; the bar pulses every 100 ms, as while a tool
// runs. What it leaves counts once it holds files and passes finish_unpack.
bool unpack_here(const std::wstring& destination, std::wstring& error,
                 const std::function<plat::UnpackResult(const std::function<void()>&)>& unpack) {
  const std::wstring status = kUnpackingStatus;
  bool pulsed = false;
  uint32_t last_pulse = 0;
  plat::UnpackResult result = unpack([&]() {
    const uint32_t now = ui_clock();
    if (pulsed && static_cast<uint32_t>(now - last_pulse) < 100) {
      pump_events();
      return;
    }
    pulse_progress(status);
    pulsed = true;
    last_pulse = now;
  });
  if (result == plat::UnpackResult::Ok) {
    if (holds_files(destination)) return finish_unpack(destination, error);
    result = plat::UnpackResult::Empty;
  }
  error = unpack_message(result);
  return false;
}

}  // namespace

bool extract_archive(const std::wstring& package, const std::wstring& destination, std::wstring& error) {
  const std::wstring status = kUnpackingStatus;
  // A package is a regular file: a link is not followed, and a pipe or device would hold the
  // unpacker for good. Looked at again before every unpacker.
  if (plat::path_kind(package) != plat::PathKind::File) {
    error = unpack_message(plat::UnpackResult::PackageUnreadable);
    return false;
  }
  for (int method = 1; method <= 2; ++method) {
    std::wstring program;
    std::vector<std::wstring> arguments;
    if (!plat::archive_tool_command(method, package, destination, program, arguments)) continue;
    empty_destination(destination);
    if (plat::path_kind(package) != plat::PathKind::File) break;
    if (run_and_wait(program, arguments, status, error, nullptr, false) && holds_files(destination))
      return finish_unpack(destination, error);
    error.clear();
  }
  empty_destination(destination);
  return unpack_here(destination, error, [&](const std::function<void()>& poll) {
    return plat::unpack_in_process(package, destination, poll);
  });
}

bool extract_archive_range(const std::wstring& file, uint64_t offset, uint64_t length,
                           const std::wstring& destination, std::wstring& error) {
  if (plat::path_kind(file) != plat::PathKind::File) {
    error = unpack_message(plat::UnpackResult::PackageUnreadable);
    return false;
  }
  empty_destination(destination);
  return unpack_here(destination, error, [&](const std::function<void()>& poll) {
    return plat::unpack_range_in_process(file, offset, length, destination, poll);
  });
}

bool unpack_package(const PackageSource& package, const std::wstring& staging, std::wstring& error) {
  const bool unpacked = package.is_range()
                            ? extract_archive_range(package.file, package.offset, package.length, staging, error)
                            : extract_archive(package.file, staging, error);
  if (!unpacked) return false;
  // A tree without the program would install as something that neither starts nor uninstalls.
  if (plat::path_kind(join_path(join_path(staging, L"bin"), L"Morvell.exe")) == plat::PathKind::File) return true;
  error = kProgramMissing;
  return false;
}
