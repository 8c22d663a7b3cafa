// The real installer in the Windows tests: where the build put it, offline installers made from
// it, a copy that reads its releases from the loopback update server, and runs waited for.
#pragma once

#include <string>

namespace testing_support {

// morvell-installer.exe of this build (two folders above the test program).
std::wstring installer_path();
// The installer followed by the zip and the trailer "MORV-PACKAGE:<offset>:<length>".
std::string offline_installer(const std::string& zip_bytes);
// The installer's bytes with its compiled-in update server address replaced by `base` (an
// address no longer than it); empty when the address is not found exactly once.
std::string installer_for_server(const std::string& base);
// Runs a program with the arguments that `parameters` writes as a Windows command line and
// waits (bounded); the exit code, or -1.
long run_and_wait(const std::wstring& program, const std::wstring& parameters);

}  // namespace testing_support
