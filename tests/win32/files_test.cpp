// The Windows backend's file system, text and folder operations on real files.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>

#include "common/strings.h"
#include "common/filetree.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/wine.h"

using namespace testing_support;

TEST(Win32Text, Utf8AndUtf16RoundTrip) {
  EXPECT_EQ(plat::utf8_to_wide(""), L"");
  EXPECT_EQ(plat::utf8_to_wide("C:\\Apps\\\xE5\xAE\x89\xE8\xA3\x85"), L"C:\\Apps\\\u5B89\u88C5");
  // A character beyond the BMP becomes a surrogate pair and comes back whole.
  std::wstring clef = plat::utf8_to_wide("\xF0\x9D\x84\x9E");
  ASSERT_EQ(clef.size(), 2u);
  EXPECT_EQ(plat::wide_to_utf8(clef), "\xF0\x9D\x84\x9E");
  // Malformed bytes give a replacement character, not empty text.
  std::wstring bad = plat::utf8_to_wide("a\xFF" "b");
  EXPECT_NE(bad.find(L'\xFFFD'), std::wstring::npos);
  EXPECT_EQ(bad.front(), L'a');
  EXPECT_EQ(bad.back(), L'b');
  // An unpaired surrogate becomes U+FFFD in UTF-8.
  EXPECT_EQ(plat::wide_to_utf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(plat::kPathSeparator, L'\\');
}

TEST(Win32System, OwnPathFoldersEnvironmentTime) {
  std::wstring own = plat::own_executable_path();
  ASSERT_FALSE(own.empty());
  EXPECT_EQ(own, W(self_path()));
  EXPECT_NE(plat::path_kind(own), plat::PathKind::None);
  for (int folder : {plat::kFolderPrograms, plat::kFolderDesktop, plat::kFolderLocalAppData, plat::kFolderProfile}) {
    std::wstring path = plat::shell_folder(folder);
    EXPECT_GE(path.size(), 3u) << folder;
    EXPECT_EQ(path[1], L':') << folder;
  }
  EXPECT_TRUE(plat::shell_folder(0x7FFF).empty());
  SetEnvironmentVariableW(L"MORVELL_TEST_VALUE", L"\u5B89\u88C5 x");
  EXPECT_EQ(plat::environment_value("MORVELL_TEST_VALUE"), "\xE5\xAE\x89\xE8\xA3\x85 x");
  EXPECT_EQ(plat::environment_value("MORVELL_TEST_UNSET_VALUE"), "");
  std::wstring temp = plat::temporary_directory();
  EXPECT_EQ(plat::path_kind(temp), plat::PathKind::Directory);
  EXPECT_NE(temp.back(), L'\\');
  uint32_t before = plat::tick_ms();
  plat::sleep_ms(30);
  uint32_t elapsed = plat::tick_ms() - before;   // the tick may step by ~16 ms at a time
  EXPECT_GE(elapsed, 10u);
  EXPECT_LT(elapsed, 60000u);
}

TEST(Win32Files, DirectoriesRenamesAndDeletion) {
  TempDir tmp;
  std::wstring a = tmp.wide() + L"\\a";
  EXPECT_EQ(plat::make_directory(a), plat::MkdirResult::Created);
  EXPECT_EQ(plat::make_directory(a), plat::MkdirResult::AlreadyExists);
  EXPECT_EQ(plat::make_directory(tmp.wide() + L"\\missing\\deeper"), plat::MkdirResult::Failed);
  EXPECT_EQ(plat::path_kind(a), plat::PathKind::Directory);
  write_text(tmp / "a/f.txt", "12345");
  uint64_t size = 0;
  ASSERT_TRUE(plat::file_size(a + L"\\f.txt", size));
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(plat::path_kind(a + L"\\f.txt"), plat::PathKind::File);
  EXPECT_EQ(plat::path_kind(a + L"\\none"), plat::PathKind::None);

  // A rename replaces a file at the destination and moves whole directories.
  write_text(tmp / "b.txt", "old");
  ASSERT_TRUE(plat::rename_replacing(a + L"\\f.txt", tmp.wide() + L"\\b.txt"));
  EXPECT_EQ(read_text(tmp / "b.txt"), "12345");
  ASSERT_TRUE(plat::rename_replacing(a, tmp.wide() + L"\\c"));
  EXPECT_EQ(plat::path_kind(tmp.wide() + L"\\c"), plat::PathKind::Directory);
  EXPECT_FALSE(plat::rename_replacing(tmp.wide() + L"\\none", tmp.wide() + L"\\d"));

  EXPECT_FALSE(plat::remove_empty_directory(tmp.wide()));   // not empty
  EXPECT_TRUE(plat::remove_empty_directory(tmp.wide() + L"\\c"));
  EXPECT_TRUE(plat::delete_file(tmp.wide() + L"\\b.txt"));
  EXPECT_FALSE(plat::delete_file(tmp.wide() + L"\\b.txt"));

  // The shell's silent delete takes whole trees, also when the path mixes separators.
  write_text(tmp / "tree/x/y/z.txt", "z");
  write_text(tmp / "tree/top.txt", "t");
  SetFileAttributesW((tmp.wide() + L"\\tree\\top.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  plat::delete_tree_silently(W(tmp / "tree"));
  EXPECT_FALSE(exists(tmp / "tree"));
  write_text(tmp / "single.txt", "s");
  plat::delete_tree_silently(tmp.wide() + L"\\single.txt");
  EXPECT_FALSE(exists(tmp / "single.txt"));
  plat::delete_tree_silently(tmp.wide() + L"\\never-there");   // nothing happens, nothing shown
  EXPECT_TRUE(is_dir(tmp.path()));

  // A private directory and a new file are made only where nothing stands yet.
  const std::wstring mine = tmp.wide() + L"\\mine";
  EXPECT_TRUE(plat::make_private_directory(mine));
  EXPECT_EQ(plat::path_kind(mine), plat::PathKind::Directory);
  EXPECT_FALSE(plat::make_private_directory(mine));
  plat::FileHandle fresh = plat::create_new_file(mine + L"\\fresh.bin");
  ASSERT_NE(fresh, plat::kNoFile);
  EXPECT_EQ(plat::write_some(fresh, "new", 3), 3);
  plat::close_file(fresh);
  EXPECT_EQ(plat::create_new_file(mine + L"\\fresh.bin"), plat::kNoFile);
  EXPECT_EQ(read_text(tmp / "mine/fresh.bin"), "new");
  EXPECT_FALSE(plat::make_private_directory(mine + L"\\fresh.bin"));
  EXPECT_TRUE(tree_is_self_contained(mine));

  // A directory link, where the system lets this user make one: given as a directory it names
  // the real folder; inside a tree it counts as leading out (its target is not read).
  const std::wstring link = tmp.wide() + L"\\link";
  EXPECT_EQ(plat::resolve_directory_link(mine), mine);
  // (Wine answers that it made one and makes nothing: what counts is what is there.)
  if (CreateSymbolicLinkW(link.c_str(), mine.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
      GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) {
    EXPECT_EQ(plat::path_kind(link), plat::PathKind::Link);
    EXPECT_EQ(to_lower_wide(plat::resolve_directory_link(link)), to_lower_wide(mine));
    EXPECT_FALSE(tree_is_self_contained(tmp.wide()));
    EXPECT_FALSE(plat::make_private_directory(link));
    EXPECT_TRUE(plat::delete_file(link));
    EXPECT_EQ(read_text(tmp / "mine/fresh.bin"), "new");
  } else {
    std::printf("note: no symbolic link could be made here; the link cases were not run\n");
  }
}

TEST(Win32Files, ReadOnlyCopyAndListing) {
  TempDir tmp;
  write_text(tmp / "src/one.bin", std::string(200000, 'x'));
  write_text(tmp / "src/empty.txt", "");
  write_text(tmp / "src/sub/two.txt", "two");
  std::wstring one = tmp.wide() + L"\\src\\one.bin";
  EXPECT_FALSE(plat::is_read_only(one));
  ASSERT_TRUE(SetFileAttributesW(one.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(plat::is_read_only(one));
  EXPECT_TRUE(plat::clear_read_only(one));
  EXPECT_FALSE(plat::is_read_only(one));
  EXPECT_FALSE(plat::clear_read_only(tmp.wide() + L"\\none"));

  write_text(tmp / "dest.bin", "to be replaced");
  ASSERT_TRUE(plat::copy_file(one, tmp.wide() + L"\\dest.bin", [](uint64_t, uint64_t) {}));
  EXPECT_EQ(read_text(tmp / "dest.bin"), std::string(200000, 'x'));
  EXPECT_TRUE(plat::copy_file(tmp.wide() + L"\\src\\empty.txt", tmp.wide() + L"\\empty-copy.txt", nullptr));
  EXPECT_TRUE(exists(tmp / "empty-copy.txt"));
  EXPECT_FALSE(plat::copy_file(tmp.wide() + L"\\none", tmp.wide() + L"\\x", nullptr));

  std::vector<plat::DirEntry> entries;
  ASSERT_TRUE(plat::list_directory(tmp.wide() + L"\\src", entries));
  std::sort(entries.begin(), entries.end(), [](const plat::DirEntry& l, const plat::DirEntry& r) { return l.name < r.name; });
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, L"empty.txt");
  EXPECT_EQ(entries[0].kind, plat::PathKind::File);
  EXPECT_EQ(entries[1].name, L"one.bin");
  EXPECT_EQ(entries[1].size, 200000u);
  EXPECT_EQ(entries[2].name, L"sub");
  EXPECT_EQ(entries[2].kind, plat::PathKind::Directory);
  EXPECT_FALSE(plat::list_directory(tmp.wide() + L"\\none", entries));
  ASSERT_TRUE(plat::list_directory(tmp.wide() + L"\\src\\", entries));   // a trailing separator
  EXPECT_EQ(entries.size(), 3u);
  EXPECT_TRUE(plat::make_executable(one));
}

TEST(Win32Files, StreamsAndFaultSeam) {
  TempDir tmp;
  std::wstring path = tmp.wide() + L"\\stream.bin";
  plat::FileHandle out = plat::create_for_writing(path);
  ASSERT_NE(out, plat::kNoFile);
  // Not shared: nobody else may open the file while it is written.
  EXPECT_EQ(plat::open_for_reading(path), plat::kNoFile);
  EXPECT_EQ(plat::write_some(out, "hello world", 11), 11);
  plat::close_file(out);
  plat::FileHandle in = plat::open_for_reading(path);
  ASSERT_NE(in, plat::kNoFile);
  plat::FileHandle second = plat::open_for_reading(path);   // shared for reading
  EXPECT_NE(second, plat::kNoFile);
  plat::close_file(second);
  uint64_t size = 0;
  EXPECT_TRUE(plat::handle_size(in, size));
  EXPECT_EQ(size, 11u);
  ASSERT_TRUE(plat::seek_to(in, 6));
  char buffer[32] = {};
  EXPECT_EQ(plat::read_some(in, buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(plat::read_some(in, buffer, sizeof buffer), 0);
  plat::close_file(in);
  EXPECT_EQ(plat::open_for_reading(tmp.wide() + L"\\none"), plat::kNoFile);

  // Every changing operation asks the fault hook first and fails as the system would.
  std::vector<std::string> asked;
  plat::set_fault_hook([&](const char* op, const std::wstring&) {
    asked.push_back(op);
    return true;
  });
  EXPECT_EQ(plat::make_directory(tmp.wide() + L"\\f"), plat::MkdirResult::Failed);
  EXPECT_FALSE(plat::rename_replacing(path, tmp.wide() + L"\\g"));
  EXPECT_FALSE(plat::copy_file(path, tmp.wide() + L"\\h", nullptr));
  EXPECT_FALSE(plat::delete_file(path));
  EXPECT_EQ(plat::create_for_writing(tmp.wide() + L"\\i"), plat::kNoFile);
  plat::delete_tree_silently(path);
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(asked.size(), 6u);
  EXPECT_EQ(read_text(tmp / "stream.bin"), "hello world");
  EXPECT_FALSE(exists(tmp / "f"));
  EXPECT_FALSE(exists(tmp / "h"));
}

TEST(Win32Files, CopyProgressIsReported) {
  if (testing_support::running_under_wine()) GTEST_SKIP() << "Wine's CopyFileExW never calls its progress routine";
  TempDir tmp;
  write_text(tmp / "big.bin", std::string(3000000, 'x'));
  uint64_t seen_total = 0, seen_done = 0;
  int calls = 0;
  ASSERT_TRUE(plat::copy_file(W(tmp / "big.bin"), W(tmp / "copy.bin"), [&](uint64_t total, uint64_t done) {
    seen_total = total;
    seen_done = done;
    ++calls;
  }));
  EXPECT_GT(calls, 0);
  EXPECT_EQ(seen_total, 3000000u);
  EXPECT_EQ(seen_done, 3000000u);
}

TEST(Win32Files, ReadOnlyDestinationRefusedUntilCleared) {
  if (testing_support::running_under_wine())
    GTEST_SKIP() << "Wine does not enforce the read-only attribute for a root user";
  TempDir tmp;
  write_text(tmp / "new.txt", "new");
  write_text(tmp / "locked.txt", "old");
  std::wstring locked = W(tmp / "locked.txt");
  ASSERT_TRUE(SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(plat::copy_file(W(tmp / "new.txt"), locked, nullptr));
  EXPECT_FALSE(plat::delete_file(locked));
  EXPECT_EQ(read_text(tmp / "locked.txt"), "old");
  ASSERT_TRUE(plat::clear_read_only(locked));
  EXPECT_TRUE(plat::copy_file(W(tmp / "new.txt"), locked, nullptr));
  EXPECT_EQ(read_text(tmp / "locked.txt"), "new");
}

TEST(Win32System, OwnPathOfTwoHundredAndSixtyUnitsIsUnknown) {
  // The same program copied to a path just inside and just outside the classic 260-unit limit.
  TempDir tmp;
  std::wstring base = tmp.wide();
  std::wstring self = W(self_path());
  for (size_t length : {259u, 260u, 300u}) {
    std::wstring dir = base + L"\\";
    size_t name_length = std::string("\\x.exe").size();
    while (dir.size() + name_length < length) dir += L'd';
    std::wstring program = dir.substr(0, length - name_length) + L"\\x.exe";
    ASSERT_EQ(program.size(), length);
    ASSERT_TRUE(CreateDirectoryW(program.substr(0, program.size() - 6).c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CopyFileW(self.c_str(), program.c_str(), FALSE)) << length;
    std::wstring out = base + L"\\own-" + std::to_wstring(length) + L".txt";
    // Started with CreateProcessW: the shell's own start refuses programs at such long paths.
    std::wstring line = L"\"" + program + L"\" --fake-app write-own-path \"" + out + L"\"";
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
      ASSERT_GE(length, 260u);
      GTEST_SKIP() << "this system starts no program from a path of " << length << " units";
    }
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    EXPECT_EQ(read_text(U(out)), length < 260 ? U(program) : std::string()) << length;
    DeleteFileW(program.c_str());
    RemoveDirectoryW(program.substr(0, program.size() - 6).c_str());
  }
}

// What the installer may count as its own: an object this user made is theirs, one whose owner is
// someone else is not; one object keeps its identity through a rename; names compare without
// regard to case; and inputs are regular files only: a link is refused before it is read or
// appended to, whatever it leads to.
TEST(Win32Files, OwnersIdentitiesAndInputs) {
  TempDir tmp;
  const std::wstring file = tmp.wide() + L"\\mine.txt", folder = tmp.wide() + L"\\folder";
  write_text(tmp / "mine.txt", "mine");
  ASSERT_EQ(plat::make_directory(folder), plat::MkdirResult::Created);
  EXPECT_TRUE(plat::owned_by_current_user(file));
  EXPECT_TRUE(plat::owned_by_current_user(folder));
  EXPECT_FALSE(plat::owned_by_current_user(tmp.wide() + L"\\none"));
  // Owned by Everyone, where this system lets us say so.
  PSID everyone = nullptr;
  const std::wstring theirs = tmp.wide() + L"\\theirs.txt";
  write_text(tmp / "theirs.txt", "theirs");
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // (Wine answers that it set the owner and keeps its own: what counts is what reads back.)
  if (ConvertStringSidToSidW(L"S-1-1-0", &everyone) &&
      SetNamedSecurityInfoW(const_cast<wchar_t*>(theirs.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, everyone,
                            nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
      GetNamedSecurityInfoW(theirs.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                            nullptr, &descriptor) == ERROR_SUCCESS &&
      owner && EqualSid(owner, everyone)) {
    EXPECT_FALSE(plat::owned_by_current_user(theirs));
  } else {
    std::printf("note: no other owner could be given to a file here; that case was not run\n");
  }
  if (descriptor) LocalFree(descriptor);
  if (everyone) LocalFree(everyone);

  plat::FileIdentity before, after, other;
  ASSERT_TRUE(plat::file_identity(file, before));
  ASSERT_TRUE(plat::rename_replacing(file, tmp.wide() + L"\\moved.txt"));
  ASSERT_TRUE(plat::file_identity(tmp.wide() + L"\\moved.txt", after));
  ASSERT_TRUE(plat::file_identity(folder, other));
  EXPECT_TRUE(before == after);
  EXPECT_FALSE(before == other);
  EXPECT_FALSE(plat::file_identity(file, other));
  EXPECT_TRUE(plat::same_path_text(L"C:\\Apps\\Morvell", L"c:\\apps\\MORVELL"));
  EXPECT_FALSE(plat::same_path_text(L"C:\\Apps\\Morvell", L"C:\\Apps\\Morvell2"));

  // A link to a regular file: neither read through nor appended through.
  const std::wstring link = tmp.wide() + L"\\link.txt";
  plat::FileHandle regular = plat::open_for_reading(tmp.wide() + L"\\moved.txt");
  EXPECT_NE(regular, plat::kNoFile);
  plat::close_file(regular);
  if (CreateSymbolicLinkW(link.c_str(), (tmp.wide() + L"\\moved.txt").c_str(), 0) &&
      GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) {
    EXPECT_EQ(plat::open_for_reading(link), plat::kNoFile);
    EXPECT_EQ(plat::open_for_appending(link), plat::kNoFile);
    EXPECT_EQ(read_text(tmp / "moved.txt"), "mine");
  } else {
    std::printf("note: no symbolic link could be made here; the link cases were not run\n");
  }
  EXPECT_EQ(plat::open_for_reading(folder), plat::kNoFile);
}

