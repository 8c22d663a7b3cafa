// The file a user downloads, read back with the system's own readers: the version resource and
// the icon sizes of the built program (and of the release build), and the release build as
// scripts/release-windows ships it: checksum, size, signature, and a signed offline installer
// that still installs its package and leaves an unsigned uninstaller.
#include <gtest/gtest.h>
#include <windows.h>
#include <imagehlp.h>

#include <cstdlib>
#include <set>

#include "app/installer_window_win32.h"
#include "app/window.h"
#include "common/state.h"
#include "common/strings.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/installer_runs.h"
#include "support/window_driver.h"
#include "support/zip_writer.h"

using namespace testing_support;

namespace {

std::wstring version_text(const std::vector<BYTE>& info, const wchar_t* name) {
  wchar_t* value = nullptr;
  UINT size = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
  if (!VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &size) || !value) return L"";
  return std::wstring(value, size > 0 ? size - 1 : 0);
}

std::wstring dotted(DWORD high, DWORD low) {
  return std::to_wstring(HIWORD(high)) + L"." + std::to_wstring(LOWORD(high)) + L"." + std::to_wstring(HIWORD(low)) +
         L"." + std::to_wstring(LOWORD(low));
}

// The pixel sizes of the program's icon group 1, each image's own header agreeing with the
// group's entry (a PNG image for 256, a bitmap for the small ones).
std::set<int> icon_sizes(const std::wstring& program) {
  std::set<int> sizes;
  HMODULE image = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!image) return sizes;
  HRSRC group = FindResourceW(image, MAKEINTRESOURCEW(1), RT_GROUP_ICON);
  const BYTE* directory = group ? static_cast<const BYTE*>(LockResource(LoadResource(image, group))) : nullptr;
  const int count = directory ? directory[4] | directory[5] << 8 : 0;
  for (int i = 0; i < count; ++i) {
    const BYTE* entry = directory + 6 + 14 * i;   // GRPICONDIRENTRY: size 14, id last
    const int size = entry[0] ? entry[0] : 256;
    HRSRC icon = FindResourceW(image, MAKEINTRESOURCEW(entry[12] | entry[13] << 8), RT_ICON);
    const BYTE* bits = icon ? static_cast<const BYTE*>(LockResource(LoadResource(image, icon))) : nullptr;
    if (!bits) continue;
    const bool png = bits[1] == 'P' && bits[2] == 'N' && bits[3] == 'G';
    const int width = png ? bits[16] << 24 | bits[17] << 16 | bits[18] << 8 | bits[19]
                          : bits[4] | bits[5] << 8 | bits[6] << 16 | bits[7] << 24;
    if (width == size) sizes.insert(size);
  }
  FreeLibrary(image);
  return sizes;
}

// The checksum in the headers and the one the system computes agree.
bool checksum_right(const std::wstring& program) {
  DWORD stored = 0, computed = 0;
  return MapFileAndCheckSumW(program.c_str(), &stored, &computed) == CHECKSUM_SUCCESS && stored == computed &&
         stored != 0;
}

// How many certificates the file's certificate table holds; -1 when it cannot be read.
int certificates(const std::wstring& file) {
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  DWORD count = 0;
  const BOOL ok = ImageEnumerateCertificates(handle, CERT_SECTION_TYPE_ANY, &count, nullptr, 0);
  CloseHandle(handle);
  return ok ? static_cast<int>(count) : -1;
}

// Where scripts/release-windows put the release files of this run: "unsigned" and "signed".
std::wstring release_dir() {
  const char* dir = std::getenv("MORVELL_TEST_RELEASE_DIR");
  return dir ? W(dir) : std::wstring();
}

}  // namespace

TEST(Win32Release, VersionResourceIconsAndTheVersionOutputAgree) {
  std::vector<std::wstring> programs = {installer_path()};
  if (!release_dir().empty()) programs.push_back(release_dir() + L"\\unsigned\\morvell-installer.exe");
  for (const std::wstring& program : programs) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    ASSERT_GT(size, 0u) << U(program);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size));
    EXPECT_EQ(version_text(info, L"FileDescription"), L"Morvell 安装器");
    EXPECT_EQ(version_text(info, L"ProductName"), L"Morvell");
    EXPECT_EQ(version_text(info, L"ProductVersion"), W(carried_release));
    EXPECT_EQ(version_text(info, L"FileVersion"), W(installer_version));
    EXPECT_NE(version_text(info, L"LegalCopyright").find(L"Morvell"), std::wstring::npos);
    EXPECT_EQ(dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS), W(installer_version) + L".0");
    EXPECT_EQ(dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS), W(carried_release) + L".0");
    // --version prints the two versions the resource gives.
    EXPECT_EQ(capture_shell("\"\"" + U(program) + "\" --version\""),
              "morvell-installer " + U(version_text(info, L"FileVersion")) + "\nMorvell " +
                  U(version_text(info, L"ProductVersion")) + "\n");
    EXPECT_EQ(icon_sizes(program), (std::set<int>{16, 24, 32, 48, 256})) << U(program);
  }
}

// The window shows the icon in the title bar's size and in the taskbar's and switcher's. Built in this process (Wine hands no icon of another process's window).
TEST(Win32Release, TheWindowCarriesTheBigAndTheSmallIcon) {
  const std::string no_window = no_window_reason();
  if (!no_window.empty()) GTEST_SKIP() << no_window;
  int argc = 0;
  char** argv = nullptr;
  ASSERT_TRUE(init_toolkit(argc, argv));
  run_mode = RunMode::Uninstall;
  build_installer_window();
  ASSERT_NE(installer_window.window, nullptr);
  for (auto [which, metric] : {std::pair<WPARAM, int>{ICON_BIG, SM_CXICON}, {ICON_SMALL, SM_CXSMICON}}) {
    HICON icon = reinterpret_cast<HICON>(SendMessageW(installer_window.window, WM_GETICON, which, 0));
    ASSERT_NE(icon, nullptr) << which;
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP colour = {};
    GetObjectW(info.hbmColor, sizeof colour, &colour);
    EXPECT_EQ(colour.bmWidth, GetSystemMetrics(metric)) << which;
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
  }
  DestroyWindow(installer_window.window);
  run_mode = RunMode::Online;
}

TEST(Win32Release, TheShippedFilesAndASignedOfflineInstaller) {
  if (release_dir().empty())
    GTEST_SKIP() << "no release build (scripts/test-windows makes one with scripts/release-windows)";
  const std::wstring plain = release_dir() + L"\\unsigned\\morvell-installer.exe";
  const std::wstring setup = release_dir() + L"\\signed\\Morvell-Setup.exe";
  uint64_t size = 0;
  ASSERT_TRUE(plat::file_size(plain, size));
  EXPECT_LE(size, 1536u * 1024u);
  EXPECT_TRUE(checksum_right(plain));
  EXPECT_EQ(certificates(plain), 0);
  EXPECT_TRUE(checksum_right(release_dir() + L"\\signed\\morvell-installer.exe"));
  EXPECT_EQ(certificates(release_dir() + L"\\signed\\morvell-installer.exe"), 1);
  EXPECT_TRUE(checksum_right(setup));
  EXPECT_EQ(certificates(setup), 1);

  // Signed after packing, it still finds the package it carries and installs it.
  TempDir tmp;
  const std::wstring d = tmp.wide() + L"\\Morvell";
  EXPECT_EQ(run_and_wait(setup, L"--silent-install --no-launch --no-desktop-shortcut --no-start-menu-shortcut "
                                L"--install-dir " + plat::quote_argument(d)),
            0);
  EXPECT_EQ(read_text(U(d + L"\\bin\\Morvell.exe")), "the application");
  // Its uninstaller is the program part, unsigned, with its own checksum: the unsigned program.
  const std::wstring uninstaller = d + L"\\bin\\Morvell-Uninstall.exe";
  EXPECT_EQ(certificates(uninstaller), 0);
  EXPECT_TRUE(checksum_right(uninstaller));
  EXPECT_TRUE(read_text(U(uninstaller)) == read_text(U(plain)));
  EXPECT_EQ(run_and_wait(uninstaller, L"--silent-install --install-dir " + plat::quote_argument(tmp.wide() + L"\\x")), 2);
}
