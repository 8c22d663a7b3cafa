// Offline installers as the installer reads them back: the installer program, the package zip
// and the trailer "MORV-PACKAGE:<offset>:<length>", shared by morvell-pack and morvell-release.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The whole content of a regular file; false with `why` ("PATH: reason") otherwise.
bool read_regular_file(const std::string& path, std::vector<unsigned char>& data, std::string& why);
// A local file header first and an end-of-central-directory record that points inside the file.
bool looks_like_zip(const std::vector<unsigned char>& zip);
// How the finished offline installer is signed (with osslsigncode); no certificate: unsigned.
struct PackSigning {
  std::string certificate;     // a .pfx file
  std::string password_file;   // may be empty
  std::string timestamp;       // a time-stamp server's address; may be empty
};
// Writes program + package + trailer to `output` (beside it first, then renamed over it), with the
// program's mode and, for a Windows program, its checksum made for the whole file; then signs it
// when `signing` names a certificate (the signature follows the trailer). A program that is signed
// already is refused: its signature would not cover the package. The sizes of the two parts are
// stored. False with `why` otherwise.
bool write_offline_installer(const std::string& installer, const std::string& package, const std::string& output,
                             size_t& program_size, size_t& package_size, std::string& why,
                             const PackSigning& signing = PackSigning());
