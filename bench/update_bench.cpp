// The writing step of an update of a large installation by a package that replaces every file
// of it: the in-place move that the update made before it was a transaction (move_tree from its
// unpacked tree), against the transaction (every replaced file moved into the rollback area,
// each step journaled, the area removed once done). Paired rounds, taken in turn; and, for scale,
// the same against the unpack that both kinds of update do first.
//
// usage: update_bench [megabytes=200] [files=5000] [rounds=5] [work directory=$TMPDIR]
// Prints the median of each and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_package.h"
#include "common/filetree.h"
#include "common/progress.h"
#include "common/strings.h"
#include "install/ownership.h"
#include "install/rollback.h"
#include "install/unpack.h"
#include "install/update_writer.h"
#include "platform/platform.h"

namespace {

using bench::quoted;
using bench::shell;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Arguments args = bench::arguments(argc, argv, 5);
  const uint64_t megabytes = args.megabytes;
  const unsigned files = args.files;
  const int rounds = args.rounds;
  std::string pattern = args.base + "/morvell-update-bench-XXXXXX";
  if (!mkdtemp(&pattern[0])) {
    std::fprintf(stderr, "cannot create a work directory under %s\n", args.base.c_str());
    return 1;
  }
  const std::string root = pattern, tree = root + "/unpacked", d = root + "/Morvell";
  std::printf("generating %llu MB in %u files...\n", static_cast<unsigned long long>(megabytes), files);
  if (!bench::make_package(root, megabytes, files, root + "/package.zip") ||
      shell("mkdir " + quoted(tree) + " && cd " + quoted(tree) + " && unzip -q ../package.zip") != 0) {
    std::fprintf(stderr, "cannot make the package\n");
    return 1;
  }
  // What both share in a whole update, for scale: the unpack of the package.
  const std::wstring unpacked = plat::utf8_to_wide(root + "/unpack-timed");
  const auto unpack_start = std::chrono::steady_clock::now();
  std::wstring error;
  if (!unpack_package(PackageSource{plat::utf8_to_wide(root + "/package.zip")}, unpacked, error)) {
    std::fprintf(stderr, "cannot unpack the package\n");
    return 1;
  }
  const double unpack = std::chrono::duration<double>(std::chrono::steady_clock::now() - unpack_start).count();
  remove_tree_in_process(unpacked);
  std::vector<double> in_place, transaction;
  for (int round = 0; round < 2 * rounds; ++round) {
    const bool journaled = (round % 2 == 1) != (round / 2 % 2 == 1);   // ABBA: neither always goes first
    const std::string staging = d + "/Morvell-Update-Temp";
    if (shell("rm -rf " + quoted(d) + " && cp -a " + quoted(tree) + " " + quoted(d) + " && cp -a " + quoted(tree) +
              " " + quoted(staging) + " && mkdir " + quoted(staging + "/.morvell-staging") + " && sync") != 0)
      return 1;
    const std::wstring D = plat::utf8_to_wide(d), T = plat::utf8_to_wide(staging);
    ProgressThrottle throttle;   // the bar pulses: both kinds pay the same
    const auto start = std::chrono::steady_clock::now();
    bool ok = true;
    if (journaled) {
      UpdateRollback rollback(D);
      ok = rollback.open() && write_update(T, D, rollback, throttle) && rollback.set_phase(UpdatePhase::Written);
      discard_work_tree(T);
      rollback.commit();
    } else {
      ok = move_tree(T, D, &throttle);
      discard_work_tree(T);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
      std::fprintf(stderr, "round %d failed\n", round);
      return 1;
    }
    (journaled ? transaction : in_place).push_back(seconds);
    std::printf("round %d: %s %.3f s\n", round, journaled ? "transaction" : "in place", seconds);
  }
  shell("rm -rf " + quoted(root));
  const double a = median(in_place), b = median(transaction);
  std::printf("writing %llu MB in %u files: in place %.3f s, as a transaction %.3f s (median of %d): %.2fx\n",
              static_cast<unsigned long long>(megabytes), files, a, b, rounds, b / a);
  std::printf("with the unpack both share (%.3f s): %.2fx\n", unpack, (unpack + b) / (unpack + a));
  return 0;
}
