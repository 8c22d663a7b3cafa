// Runs one download or one digest with the installer's own code and reports its time and the
// process's peak resident memory; bench/download_sha.py compares it with curl and sha256sum.
//   morvell-bench-catalogue download URL DESTINATION
//   morvell-bench-catalogue sha256 FILE
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "catalogue/download.h"
#include "common/strings.h"
#include "package/verify.h"
#include "platform/platform.h"

static long peak_resident_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s download URL DESTINATION | sha256 FILE\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  auto start = std::chrono::steady_clock::now();
  bool ok = false;
  std::string detail;
  if (mode == "download" && argc == 4) {
    std::wstring error;
    ok = http_download(argv[2], nullptr, plat::utf8_to_wide(argv[3]), error);
    detail = plat::wide_to_utf8(error);
  } else if (mode == "sha256") {
    ok = sha256_file_hex(plat::utf8_to_wide(argv[2]), detail);
  } else {
    return 2;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("ok=%d seconds=%.3f vmhwm_kb=%ld detail=%s\n", ok ? 1 : 0, seconds, peak_resident_kb(), detail.c_str());
  return ok ? 0 : 1;
}
