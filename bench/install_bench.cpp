// Installing a large package over an existing installation, against bsdtar -xf of the same
// zip into an empty directory, in the same run; and the same install with the install log
// written (--log), against the install without it.
//
// usage: install_bench [megabytes=200] [files=5000] [rounds=3] [work directory=$TMPDIR]
// Prints the times (median of the rounds) and their ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_package.h"
#include "common/log.h"
#include "common/strings.h"
#include "install/transaction.h"
#include "platform/platform.h"

namespace {

using bench::make_package;
using bench::quoted;
using bench::shell;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200;
  const unsigned files = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 5000;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  std::string base = argc > 4 ? argv[4] : plat::environment_value("TMPDIR");
  if (base.empty()) base = "/tmp";
  const std::string templ = base + "/morvell-install-bench-XXXXXX";
  std::vector<char> pattern(templ.begin(), templ.end());
  pattern.push_back('\0');
  if (!mkdtemp(pattern.data())) {
    std::fprintf(stderr, "cannot create a work directory under %s\n", base.c_str());
    return 1;
  }
  const std::string root = pattern.data();
  // Shortcuts and the launch are off; the home is private all the same.
  setenv("HOME", (root + "/home").c_str(), 1);
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_CONFIG_HOME");

  const std::string zip = root + "/package.zip";
  std::printf("generating %llu MB in %u files...\n", static_cast<unsigned long long>(megabytes), files);
  if (!make_package(root, megabytes, files, zip)) {
    std::fprintf(stderr, "cannot build the package (zip installed?)\n");
    shell("rm -rf " + quoted(root));
    return 1;
  }

  const std::string install_dir = root + "/Morvell";
  std::vector<double> tar_times, install_times, removal_times, logged_times;
  int status = 0;
  for (int round = 0; round < rounds && status == 0; ++round) {
    // bsdtar into an empty directory.
    const std::string empty = root + "/bsdtar";
    shell("rm -rf " + quoted(empty) + " && mkdir -p " + quoted(empty) + " && sync");
    auto start = std::chrono::steady_clock::now();
    if (shell("bsdtar -xf " + quoted(zip) + " -C " + quoted(empty)) != 0) status = 1;
    tar_times.push_back(seconds_since(start));
    // What removing the previous installation costs on this file system, for reference.
    shell("sync");
    start = std::chrono::steady_clock::now();
    shell("rm -rf " + quoted(empty));
    removal_times.push_back(seconds_since(start));

    // The installer over an existing installation of the same size with a configuration, with
    // and without the log, in turns (the one that goes first changes every round).
    for (int turn = 0; turn < 2 && status == 0; ++turn) {
      const bool logged = (turn + round) % 2 == 1;
      shell("rm -rf " + quoted(install_dir) + " && mkdir -p " + quoted(install_dir) + " && bsdtar -xf " +
            quoted(zip) + " -C " + quoted(install_dir) + " && echo user > " +
            quoted(install_dir + "/config/user.ini") + " && sync");
      if (logged) open_log(plat::utf8_to_wide(root + "/logs/install.log"));
      std::wstring error;
      start = std::chrono::steady_clock::now();
      if (!install_package(plat::utf8_to_wide(zip), plat::utf8_to_wide(install_dir), InstallOptions::choosing(false, false, false), error)) {
        std::fprintf(stderr, "install failed: %s\n", plat::wide_to_utf8(error).c_str());
        status = 1;
      }
      (logged ? logged_times : install_times).push_back(seconds_since(start));
      close_log();
    }
    if (status != 0) break;
    std::printf("round %d: bsdtar %.3f s, install %.3f s, with the log %.3f s (rm -rf of such a tree: %.3f s)\n",
                round + 1, tar_times.back(), install_times.back(), logged_times.back(), removal_times.back());
  }
  std::ifstream log_file(root + "/logs/install.log");
  const long log_lines = static_cast<long>(std::count(std::istreambuf_iterator<char>(log_file), {}, '\n'));
  shell("rm -rf " + quoted(root));
  if (status != 0) return status;
  const double tar = median(tar_times), install = median(install_times);
  std::printf("bsdtar -xf (empty directory): %.3f s\n", tar);
  std::printf("install_package (over an existing installation): %.3f s\n", install);
  std::printf("rm -rf of a tree of that size (part of the install: the previous version goes): %.3f s\n",
              median(removal_times));
  std::printf("ratio: %.2fx (goal: at most 1.30x)\n", install / tar);
  const double logged = median(logged_times);
  std::printf("install_package with the install log (%ld lines in all rounds): %.3f s\n", log_lines, logged);
  std::printf("log ratio: %.3fx (goal: at most 1.02x)\n", logged / install);
  // Each round's pair ran back to back: the median of their ratios is less at the mercy of a
  // machine whose load changes from one round to the next.
  std::vector<double> paired;
  for (size_t i = 0; i < logged_times.size() && i < install_times.size(); ++i)
    paired.push_back(logged_times[i] / install_times[i]);
  std::printf("log ratio, median of the rounds' pairs: %.3fx\n", median(paired));
  // The fastest run of each kind is the one other work on the machine disturbed least.
  std::printf("log ratio, fastest against fastest: %.3fx\n",
              *std::min_element(logged_times.begin(), logged_times.end()) /
                  *std::min_element(install_times.begin(), install_times.end()));
  // What the lines themselves cost, free of the disk's and the machine's noise: the same kind of
  // line written 10,000 times, and that cost for one install's share of lines.
  const std::string lines_file = base + "/morvell-install-bench-lines.log";
  open_log(plat::utf8_to_wide(lines_file));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10000; ++i) log_line("状态：正在写入更新文件... " + std::to_string(i));
  const double per_line = seconds_since(start) / 10000;
  close_log();
  std::remove(lines_file.c_str());
  const double share = per_line * static_cast<double>(log_lines) / rounds;
  std::printf("one log line: %.1f us; one install's %.0f lines: %.3f ms = %.4f%% of the install\n", per_line * 1e6,
              static_cast<double>(log_lines) / rounds, share * 1e3, 100.0 * share / install);
  return 0;
}
