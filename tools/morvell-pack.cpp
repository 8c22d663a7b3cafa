// Writes an offline installer: the installer program, then the package zip, then the trailer
//   "MORV-PACKAGE:" <offset of the zip in decimal> ":" <length of the zip in decimal>
// which the installer reads back from the last 4096 bytes of its own file (of a signed file: the
// 4096 bytes before its certificate table). A Windows program's checksum, when it has one, is made
// again for the whole file. With --sign the finished file is signed with osslsigncode, which
// appends the signature after the trailer: packing comes first, signing last.
//
// usage: morvell-pack --installer <program> --package <zip> --output <file>
//                     [--sign <cert.pfx> [--password-file <file>] [--timestamp <url>]]
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
  PackSigning signing;
  signing.certificate = value_of(argc, argv, "--sign");
  signing.password_file = value_of(argc, argv, "--password-file");
  signing.timestamp = value_of(argc, argv, "--timestamp");
  if (installer.empty() || package.empty() || output.empty()) {
    std::fprintf(stderr, "usage: morvell-pack --installer <program> --package <zip> --output <file>\n"
                         "                    [--sign <cert.pfx> [--password-file <file>] [--timestamp <url>]]\n");
    return 2;
  }
  size_t program_size = 0, package_size = 0;
  std::string why;
  if (!write_offline_installer(installer, package, output, program_size, package_size, why, signing)) {
    std::fprintf(stderr, "morvell-pack: %s\n", why.c_str());
    return 1;
  }
  std::printf("%s: %zu-byte installer + %zu-byte package%s\n", output.c_str(), program_size, package_size,
              signing.certificate.empty() ? "" : ", signed");
  return 0;
}
