// Writes an offline installer: the installer program, then the package zip, then the trailer
//   "MORV-PACKAGE:" <offset of the zip in decimal> ":" <length of the zip in decimal>
// which the installer reads back from the last 4096 bytes of its own file.
//
// usage: morvell-pack --installer <program> --package <zip> --output <file>
#include <cstdio>
#include <cstring>
#include <string>

#include "offline_pack.h"

namespace {

std::string value_of(int argc, char** argv, const char* name) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return std::string();
}

}  // namespace

int main(int argc, char** argv) {
  std::string installer = value_of(argc, argv, "--installer");
  std::string package = value_of(argc, argv, "--package");
  std::string output = value_of(argc, argv, "--output");
  if (installer.empty() || package.empty() || output.empty()) {
    std::fprintf(stderr, "usage: morvell-pack --installer <program> --package <zip> --output <file>\n");
    return 2;
  }
  size_t program_size = 0, package_size = 0;
  std::string why;
  if (!write_offline_installer(installer, package, output, program_size, package_size, why)) {
    std::fprintf(stderr, "morvell-pack: %s\n", why.c_str());
    return 1;
  }
  std::printf("%s: %zu-byte installer + %zu-byte package\n", output.c_str(), program_size, package_size);
  return 0;
}
