// The in-process unpacker as every backend runs it: the fault check, the range that can be
// addressed at all, and the report of a failure that is the disk's rather than the package's.
// The backends supply the unpacking itself.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/backend.h"
#include "platform/platform.h"

namespace plat {

namespace {

// A package that cannot be read or holds nothing is the package's fault, not the disk's.
UnpackResult reported(UnpackResult result, const std::wstring& package, const std::wstring& destination) {
  if (result == UnpackResult::DestinationUnusable || result == UnpackResult::Failed)
    report_failure("unpack_in_process", package, destination);
  return result;
}

}  // namespace

UnpackResult unpack_in_process(const std::wstring& package, const std::wstring& destination,
                               const std::function<void()>& poll) {
  if (injected("unpack_in_process", destination)) return UnpackResult::Failed;
  return reported(backend::unpack_file(package, destination, poll), package, destination);
}

UnpackResult unpack_range_in_process(const std::wstring& file, uint64_t offset, uint64_t length,
                                     const std::wstring& destination, const std::function<void()>& poll) {
  if (!kUnpacksFileRange) return UnpackResult::InitFailed;
  if (injected("unpack_in_process", destination)) return UnpackResult::Failed;
  // A range that cannot be addressed is no archive at all.
  if (length == 0 || offset > static_cast<uint64_t>(INT64_MAX) || length > static_cast<uint64_t>(INT64_MAX) - offset)
    return UnpackResult::PackageUnreadable;
  return reported(backend::unpack_range(file, offset, length, destination, poll), file, destination);
}

bool secure_unpacked_tree(const std::wstring& tree) {
  if (injected("secure_unpacked_tree", tree)) return false;
  return backend::secure_tree(tree) || report_failure("secure_unpacked_tree", tree);
}

}  // namespace plat
