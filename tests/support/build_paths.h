// Programs and sample packages of this build that the end-to-end tests run and install.
#pragma once

#include <string>

namespace testing_support {

inline const std::string kBuild = MORVELL_BINARY_DIR;
inline const std::string kInstaller = kBuild + "/morvell-installer";
inline const std::string kLoopback = kBuild + "/morvell-installer-loopback";
inline const std::string kPack = kBuild + "/morvell-pack";
inline const std::string kSpy = kBuild + "/tests/libmorvell-dialog-spy.so";
inline const std::string kProbe = kBuild + "/tests/libmorvell-window-probe.so";
inline const std::string kOld = kBuild + "/sample/Morvell-6.1.16.zip";
inline const std::string kNew = kBuild + "/sample/Morvell-6.1.17.zip";

}  // namespace testing_support
