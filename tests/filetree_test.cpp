// File trees on real directories: creating, counting, copying, moving, deleting and writing,
// with read-only files, empty files, files where directories go, the running program's own
// file, and symbolic links that point out of the tree (never followed).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <string>
#include <vector>

#include "app/ui.h"
#include "common/filetree.h"
#include "common/strings.h"
#include "install/messages.h"
#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

mode_t mode_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool is_link(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// A directory outside the trees under test, reached only through links; it must never change.
struct Outside {
  TempDir dir;
  Outside() {
    write_text(dir / "precious.txt", "keep me");
    write_text(dir / "nested/deep.txt", "keep me too");
  }
  bool intact() const {
    auto snap = snapshot_tree(dir.path());
    return snap.size() == 3 && snap["precious.txt"] == "keep me" && snap["nested/deep.txt"] == "keep me too";
  }
};

// Leaves a Unix socket's file at `path`, as a program that ended without removing it would.
bool make_socket_file(const std::string& path) {
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  bool made = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return made;
}

// A character device like the null device, where this test may make one (as root).
bool make_device(const std::string& path) { return mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0; }

}  // namespace

TEST(FileTree, CreateDirectoryTree) {
  TempDir tmp;
  EXPECT_FALSE(create_directory_tree(L""));
  EXPECT_TRUE(create_directory_tree(tmp.wide("a/b/c/d")));
  EXPECT_TRUE(is_dir(tmp / "a/b/c/d"));
  EXPECT_TRUE(create_directory_tree(tmp.wide("a/b")));   // already there
  write_text(tmp / "file", "x");
  EXPECT_TRUE(create_directory_tree(tmp.wide("file")));  // something of that name exists
  EXPECT_EQ(read_text(tmp / "file"), "x");
  EXPECT_FALSE(create_directory_tree(tmp.wide("file/below")));
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "make_directory"; });
  EXPECT_FALSE(create_directory_tree(tmp.wide("x/y")));
  plat::set_fault_hook(nullptr);
  EXPECT_FALSE(exists(tmp / "x"));
}

TEST(FileTree, CountTree) {
  TempDir tmp;
  Outside outside;
  write_text(tmp / "one.bin", std::string(1000, 'a'));
  uint64_t files = 5, bytes = 7;
  EXPECT_TRUE(count_tree(tmp.wide("one.bin"), files, bytes));
  EXPECT_EQ(files, 6u);
  EXPECT_EQ(bytes, 1007u);

  run_shell("mkdir -p '" + tmp / "empty" + "'");
  files = bytes = 0;
  EXPECT_TRUE(count_tree(tmp.wide("empty"), files, bytes));
  EXPECT_EQ(files, 0u);
  EXPECT_EQ(bytes, 0u);

  files = 3, bytes = 4;
  EXPECT_FALSE(count_tree(tmp.wide("missing"), files, bytes));
  EXPECT_EQ(files, 3u);
  EXPECT_EQ(bytes, 4u);

  // A tree with nested files, an empty file and a link to a directory full of files outside.
  write_text(tmp / "tree/a.txt", "12345");
  write_text(tmp / "tree/sub/b.txt", "123");
  write_text(tmp / "tree/sub/empty", "");
  ASSERT_EQ(symlink(outside.dir.path().c_str(), (tmp / "tree/sub/out").c_str()), 0);
  files = bytes = 0;
  EXPECT_TRUE(count_tree(tmp.wide("tree"), files, bytes));
  EXPECT_EQ(files, 4u);   // the link counts as one entry, its target is not walked
  EXPECT_EQ(bytes, 8u + outside.dir.path().size());
}

TEST(FileTree, CopyFileWithProgress) {
  TempDir tmp;
  Outside outside;
  // An empty file still moves the bar by one unit.
  write_text(tmp / "empty", "");
  ProgressThrottle throttle;
  throttle.total = 1;
  throttle.to = 1.0;
  EXPECT_TRUE(copy_file_with_progress(tmp.wide("empty"), tmp.wide("out/deeper/empty"), &throttle, 0));
  EXPECT_EQ(throttle.done, 1u);
  EXPECT_TRUE(exists(tmp / "out/deeper/empty"));
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 1.0);

  // A large file reports its chunks; the done count ends at its size.
  std::string big(3 * 1024 * 1024 + 17, 'z');
  write_text(tmp / "big", big);
  ProgressThrottle big_throttle;
  big_throttle.total = big.size();
  EXPECT_TRUE(copy_file_with_progress(tmp.wide("big"), tmp.wide("big.copy"), &big_throttle, 0));
  EXPECT_EQ(big_throttle.done, big.size());
  EXPECT_EQ(read_text(tmp / "big.copy"), big);

  // A read-only destination is overwritten; the executable bit of the source is kept.
  write_text(tmp / "tool", "#!/bin/sh\nexit 0\n");
  chmod((tmp / "tool").c_str(), 0755);
  write_text(tmp / "dest/tool", "old");
  chmod((tmp / "dest/tool").c_str(), 0444);
  EXPECT_TRUE(copy_file_with_progress(tmp.wide("tool"), tmp.wide("dest/tool"), nullptr, 0));
  EXPECT_EQ(read_text(tmp / "dest/tool"), "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(mode_of(tmp / "dest/tool"), 0755u);

  // A link at the destination is replaced, never written through.
  ASSERT_EQ(symlink((outside.dir / "precious.txt").c_str(), (tmp / "dest/link").c_str()), 0);
  EXPECT_TRUE(copy_file_with_progress(tmp.wide("tool"), tmp.wide("dest/link"), nullptr, 0));
  EXPECT_FALSE(is_link(tmp / "dest/link"));
  EXPECT_TRUE(outside.intact());

  // A link as the source is copied as a link.
  ASSERT_EQ(symlink("../nowhere", (tmp / "src-link").c_str()), 0);
  EXPECT_TRUE(copy_file_with_progress(tmp.wide("src-link"), tmp.wide("dest/copied-link"), nullptr, 0));
  EXPECT_TRUE(is_link(tmp / "dest/copied-link"));
  EXPECT_EQ(snapshot_tree(tmp / "dest")["copied-link"], "->../nowhere");

  // A failed copy says so and leaves no half file.
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "copy_file"; });
  ProgressThrottle failing;
  failing.total = 10;
  EXPECT_FALSE(copy_file_with_progress(tmp.wide("tool"), tmp.wide("never"), &failing, 0));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(failing.done, 0u);
  EXPECT_FALSE(exists(tmp / "never"));
  EXPECT_FALSE(copy_file_with_progress(tmp.wide("missing"), tmp.wide("never"), nullptr, 0));
}

TEST(FileTree, CopyTree) {
  TempDir tmp;
  Outside outside;
  write_text(tmp / "src/a.txt", "new a");
  write_text(tmp / "src/sub/b.txt", "new b");
  write_text(tmp / "src/sub/empty", "");
  run_shell("mkdir -p '" + tmp / "src/emptydir" + "'");
  ASSERT_EQ(symlink(outside.dir.path().c_str(), (tmp / "src/sub/out").c_str()), 0);
  write_text(tmp / "dst/a.txt", "old a");
  chmod((tmp / "dst/a.txt").c_str(), 0444);
  write_text(tmp / "dst/only-here.txt", "mine");
  // A link where a directory goes in the destination: replaced, not written through.
  ASSERT_EQ(symlink(outside.dir.path().c_str(), (tmp / "dst/sub").c_str()), 0);

  uint64_t updates = ui_trace.progress_updates;
  EXPECT_TRUE(copy_tree_with_progress(tmp.wide("src"), tmp.wide("dst"), L"copying", -1.0, 1.0));
  EXPECT_EQ(ui_trace.progress_updates, updates);   // no range, no progress
  auto snap = snapshot_tree(tmp / "dst");
  EXPECT_EQ(snap["a.txt"], "new a");
  EXPECT_EQ(snap["only-here.txt"], "mine");
  EXPECT_EQ(snap["sub/b.txt"], "new b");
  EXPECT_EQ(snap.count("sub/empty"), 1u);
  EXPECT_EQ(snap.count("emptydir/"), 1u);
  EXPECT_EQ(snap["sub/out"], "->" + outside.dir.path());
  EXPECT_FALSE(is_link(tmp / "dst/sub"));
  EXPECT_TRUE(outside.intact());

  // With a range the bar ends at its end; range end below start means no progress at all.
  ui_trace.last_fraction = -1.0;
  EXPECT_TRUE(copy_tree_with_progress(tmp.wide("src"), tmp.wide("dst2"), kRestoringConfigStatus, bar::kConfiguration.from,
                                      bar::kConfiguration.to));
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, bar::kConfiguration.to);
  EXPECT_EQ(ui_trace.last_status, kRestoringConfigStatus);
  updates = ui_trace.progress_updates;
  EXPECT_TRUE(copy_tree_with_progress(tmp.wide("src"), tmp.wide("dst3"), L"x", 0.5, 0.4));
  EXPECT_EQ(ui_trace.progress_updates, updates);
  EXPECT_EQ(snapshot_tree(tmp / "dst3"), snapshot_tree(tmp / "src"));

  // A tree of empty files still moves the bar: its total is the file count.
  write_text(tmp / "empties/1", "");
  write_text(tmp / "empties/2", "");
  write_text(tmp / "empties/d/3", "");
  ui_trace.last_fraction = -1.0;
  EXPECT_TRUE(copy_tree_with_progress(tmp.wide("empties"), tmp.wide("empties-copy"), L"x", 0.0, 1.0));
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 1.0);

  // A failure stops the walk with false; a missing source is false.
  int calls = 0;
  plat::set_fault_hook([&calls](const char* op, const std::wstring&) {
    return std::string(op) == "copy_file" && ++calls == 2;
  });
  EXPECT_FALSE(copy_tree(tmp.wide("src"), tmp.wide("dst4"), nullptr));
  plat::set_fault_hook(nullptr);
  EXPECT_FALSE(copy_tree(tmp.wide("missing"), tmp.wide("dst5"), nullptr));

  // A configuration where the application left a socket (and, as root, a device): they are
  // passed by and the copy goes on.
  write_text(tmp / "cfg/a.ini", "a");
  write_text(tmp / "cfg/sub/z.ini", "z");
  ASSERT_TRUE(make_socket_file(tmp / "cfg/app.sock"));
  ASSERT_TRUE(make_socket_file(tmp / "cfg/sub/b.sock"));
  const bool device = make_device(tmp / "cfg/null");
  EXPECT_TRUE(copy_tree_with_progress(tmp.wide("cfg"), tmp.wide("cfg-copy"), L"x", 0.0, 1.0));
  EXPECT_EQ(capture_shell("cd '" + tmp / "cfg-copy" + "' && find . | sort"), ".\n./a.ini\n./sub\n./sub/z.ini\n");
  if (device) {
    EXPECT_FALSE(plat::copy_file(tmp.wide("cfg/null"), tmp.wide("null-copy"), nullptr));
  }
  EXPECT_FALSE(exists(tmp / "null-copy"));
}

TEST(FileTree, TreeIsSelfContained) {
  TempDir tmp;
  const std::string root = tmp / "staging";
  write_text(root + "/bin/Morvell.exe", "x");
  write_text(root + "/lib/deep/lib.so", "l");
  ASSERT_EQ(symlink("../lib/deep/lib.so", (root + "/bin/lib.so").c_str()), 0);
  ASSERT_EQ(symlink("deep/../../bin", (root + "/lib/bin").c_str()), 0);
  ASSERT_EQ(symlink(".", (root + "/lib/deep/here").c_str()), 0);
  ASSERT_EQ(symlink("no-such-file", (root + "/dangling").c_str()), 0);
  EXPECT_TRUE(tree_is_self_contained(W(root)));
  EXPECT_FALSE(tree_is_self_contained(tmp.wide("missing")));

  // Every way out is refused, also through a link halfway along.
  const std::vector<std::pair<std::string, std::string>> out = {
      {"bin/abs", tmp.path()}, {"bin/up", "../../outside"}, {"up2", ".."}, {"lib/deep/via", "here/../../.."},
      {"lib/deep/via2", "here/x"}, {"bin/empty-up", "./../../x"}};
  for (const auto& link : out) {
    ASSERT_EQ(symlink(link.second.c_str(), (root + "/" + link.first).c_str()), 0);
    EXPECT_FALSE(tree_is_self_contained(W(root))) << link.first;
    ASSERT_EQ(unlink((root + "/" + link.first).c_str()), 0);
  }
  EXPECT_TRUE(tree_is_self_contained(W(root)));

  // A pipe, a socket or a device anywhere in it.
  ASSERT_EQ(mkfifo((root + "/lib/deep/pipe").c_str(), 0644), 0);
  EXPECT_FALSE(tree_is_self_contained(W(root)));
  unlink((root + "/lib/deep/pipe").c_str());
  ASSERT_TRUE(make_socket_file(root + "/s"));
  EXPECT_FALSE(tree_is_self_contained(W(root)));
  unlink((root + "/s").c_str());
  if (make_device(root + "/bin/null")) {
    EXPECT_FALSE(tree_is_self_contained(W(root)));
  }
}

TEST(FileTree, MoveTree) {
  TempDir tmp;
  Outside outside;
  write_text(tmp / "src/a.txt", "a");
  write_text(tmp / "src/sub/deeper/b.txt", "b");
  write_text(tmp / "src/sub/empty", "");
  write_text(tmp / "src/blocked/c.txt", "c");
  write_text(tmp / "src/ro.txt", "new");
  ASSERT_EQ(symlink(outside.dir.path().c_str(), (tmp / "src/sub/out").c_str()), 0);
  write_text(tmp / "dst/blocked", "a file where a directory must go");
  write_text(tmp / "dst/ro.txt", "old");
  chmod((tmp / "dst/ro.txt").c_str(), 0444);
  write_text(tmp / "dst/keep.txt", "kept");
  // A link to an outside directory where a source directory goes: the link goes, not the target.
  run_shell("mkdir -p '" + tmp / "src/linked" + "'");
  write_text(tmp / "src/linked/f.txt", "f");
  ASSERT_EQ(symlink(outside.dir.path().c_str(), (tmp / "dst/linked").c_str()), 0);

  ProgressThrottle throttle;
  throttle.total = 7;
  EXPECT_TRUE(move_tree(tmp.wide("src"), tmp.wide("dst"), &throttle));
  EXPECT_EQ(throttle.done, 7u);
  EXPECT_FALSE(exists(tmp / "src"));   // no empty source directories stay
  auto snap = snapshot_tree(tmp / "dst");
  EXPECT_EQ(snap["a.txt"], "a");
  EXPECT_EQ(snap["sub/deeper/b.txt"], "b");
  EXPECT_EQ(snap["blocked/c.txt"], "c");
  EXPECT_EQ(snap["ro.txt"], "new");
  EXPECT_EQ(snap["keep.txt"], "kept");
  EXPECT_EQ(snap["linked/f.txt"], "f");
  EXPECT_EQ(snap["sub/out"], "->" + outside.dir.path());
  EXPECT_FALSE(is_link(tmp / "dst/linked"));
  EXPECT_TRUE(outside.intact());

  // A single file moves into missing directories.
  write_text(tmp / "single", "s");
  EXPECT_TRUE(move_tree(tmp.wide("single"), tmp.wide("far/away/single"), nullptr));
  EXPECT_EQ(read_text(tmp / "far/away/single"), "s");
  EXPECT_FALSE(exists(tmp / "single"));
  EXPECT_FALSE(move_tree(tmp.wide("missing"), tmp.wide("x"), nullptr));
}

TEST(FileTree, MoveTreeNeverOverwritesTheRunningProgram) {
  // The tree holds a file at the place of this very test program: that source file is
  // dropped, the running file stays byte for byte, and the file still counts as moved.
  TempDir tmp;
  const std::string self = self_path();
  const std::string before = read_text(self);
  const std::wstring own_dir = parent_path(W(self));
  const std::string name = U(file_name_of(W(self)));
  write_text(tmp / ("src/" + name), "not a program");
  ProgressThrottle throttle;
  throttle.total = 1;
  EXPECT_TRUE(move_tree(tmp.wide("src"), own_dir, &throttle));
  EXPECT_EQ(throttle.done, 1u);
  EXPECT_FALSE(exists(tmp / "src"));
  EXPECT_EQ(read_text(self), before);
  EXPECT_EQ(mode_of(self) & 0100, 0100u);
}

TEST(FileTree, DeleteTree) {
  TempDir tmp;
  Outside outside;
  write_text(tmp / "t/a.txt", "a");
  write_text(tmp / "t/locked/b.txt", "b");
  chmod((tmp / "t/locked/b.txt").c_str(), 0444);
  chmod((tmp / "t/locked").c_str(), 0555);
  ASSERT_EQ(symlink(outside.dir.path().c_str(), (tmp / "t/out").c_str()), 0);
  ASSERT_EQ(symlink((outside.dir / "precious.txt").c_str(), (tmp / "t/file-link").c_str()), 0);
  remove_tree_in_process(tmp.wide("t"));
  EXPECT_FALSE(exists(tmp / "t"));
  EXPECT_TRUE(outside.intact());

  // A link given directly goes by itself.
  ASSERT_EQ(symlink(outside.dir.path().c_str(), (tmp / "direct").c_str()), 0);
  remove_tree_in_process(tmp.wide("direct"));
  EXPECT_FALSE(exists(tmp / "direct"));
  EXPECT_TRUE(outside.intact());

  remove_tree_in_process(tmp.wide("missing"));   // nothing to do, nothing shown
  write_text(tmp / "single", "x");
  remove_tree_in_process(tmp.wide("single"));
  EXPECT_FALSE(exists(tmp / "single"));
}

// Long walks and copies turn the event loop after every file and every chunk, however fast they
// go: the window must never wait for a whole tree or a whole large file.
TEST(FileTree, WalksAndCopiesKeepTheWindowLive) {
  TempDir tmp;
  for (int i = 0; i < 300; ++i) write_text(tmp / ("t/d" + std::to_string(i % 3) + "/f" + std::to_string(i)), "x");
  uint64_t pumps = ui_trace.pumps;
  remove_tree_in_process(tmp.wide("t"));
  EXPECT_FALSE(exists(tmp / "t"));
  EXPECT_GE(ui_trace.pumps - pumps, 300u);

  // 5 MiB in 1 MiB chunks: a turn per chunk, with or without a bar to move.
  write_text(tmp / "big", std::string(5u << 20, 'b'));
  pumps = ui_trace.pumps;
  ASSERT_TRUE(copy_file_with_progress(tmp.wide("big"), tmp.wide("copy1"), nullptr, 0));
  EXPECT_GE(ui_trace.pumps - pumps, 5u);
  ProgressThrottle throttle;
  throttle.total = 5u << 20;
  throttle.to = 1.0;
  throttle.update(0, true);
  pumps = ui_trace.pumps;
  ASSERT_TRUE(copy_file_with_progress(tmp.wide("big"), tmp.wide("copy2"), &throttle, 0));
  EXPECT_GE(ui_trace.pumps - pumps, 5u);
  EXPECT_EQ(read_text(tmp / "copy2").size(), 5u << 20);
}

TEST(FileTree, WriteFileBytes) {
  TempDir tmp;
  Outside outside;
  write_file_bytes(tmp.wide("new/dirs/file.bin"), std::string("a\0b", 3));
  EXPECT_EQ(read_text(tmp / "new/dirs/file.bin"), std::string("a\0b", 3));
  write_file_bytes(tmp.wide("new/dirs/file.bin"), "short");
  EXPECT_EQ(read_text(tmp / "new/dirs/file.bin"), "short");
  ASSERT_EQ(symlink((outside.dir / "precious.txt").c_str(), (tmp / "link").c_str()), 0);
  write_file_bytes(tmp.wide("link"), "replaced");
  EXPECT_FALSE(is_link(tmp / "link"));
  EXPECT_EQ(read_text(tmp / "link"), "replaced");
  EXPECT_TRUE(outside.intact());
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "create_for_writing"; });
  write_file_bytes(tmp.wide("never"), "x");
  plat::set_fault_hook(nullptr);
  EXPECT_FALSE(exists(tmp / "never"));
}

TEST(PosixFiles, KindsListingModesAndStreams) {
  TempDir tmp;
  write_text(tmp / "d/file", "12345");
  run_shell("mkdir -p '" + tmp / "d/dir" + "'");
  ASSERT_EQ(symlink("dir", (tmp / "d/link").c_str()), 0);
  EXPECT_EQ(plat::path_kind(tmp.wide("d/file")), plat::PathKind::File);
  EXPECT_EQ(plat::path_kind(tmp.wide("d/dir")), plat::PathKind::Directory);
  EXPECT_EQ(plat::path_kind(tmp.wide("d/link")), plat::PathKind::Link);
  EXPECT_EQ(plat::path_kind(tmp.wide("d/none")), plat::PathKind::None);
  std::vector<plat::DirEntry> entries;
  ASSERT_TRUE(plat::list_directory(tmp.wide("d"), entries));
  ASSERT_EQ(entries.size(), 3u);
  for (const auto& entry : entries) {
    if (entry.name == L"file") {
      EXPECT_EQ(entry.kind, plat::PathKind::File);
      EXPECT_EQ(entry.size, 5u);
    } else if (entry.name == L"dir") {
      EXPECT_EQ(entry.kind, plat::PathKind::Directory);
    } else {
      EXPECT_EQ(entry.name, L"link");
      EXPECT_EQ(entry.kind, plat::PathKind::Link);
    }
  }
  EXPECT_FALSE(plat::list_directory(tmp.wide("d/file"), entries));
  EXPECT_FALSE(plat::list_directory(tmp.wide("d/link"), entries));   // never listed through a link

  chmod((tmp / "d/file").c_str(), 0444);
  EXPECT_TRUE(plat::is_read_only(tmp.wide("d/file")));
  EXPECT_TRUE(plat::clear_read_only(tmp.wide("d/file")));
  EXPECT_FALSE(plat::is_read_only(tmp.wide("d/file")));
  EXPECT_EQ(mode_of(tmp / "d/file"), 0644u);
  EXPECT_TRUE(plat::make_executable(tmp.wide("d/file")));
  EXPECT_EQ(mode_of(tmp / "d/file"), 0755u);

  plat::FileHandle out = plat::create_for_writing(tmp.wide("stream"));
  ASSERT_NE(out, plat::kNoFile);
  EXPECT_EQ(plat::write_some(out, "hello world", 11), 11);
  plat::close_file(out);
  plat::FileHandle in = plat::open_for_reading(tmp.wide("stream"));
  ASSERT_NE(in, plat::kNoFile);
  uint64_t size = 0;
  EXPECT_TRUE(plat::handle_size(in, size));
  EXPECT_EQ(size, 11u);
  EXPECT_TRUE(plat::seek_to(in, 6));
  char buffer[16] = {};
  EXPECT_EQ(plat::read_some(in, buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(plat::read_some(in, buffer, sizeof buffer), 0);
  plat::close_file(in);
  EXPECT_EQ(plat::open_for_reading(tmp.wide("none")), plat::kNoFile);

  // A pipe is never opened: this test holds it open both ways, so that an open could not block.
  ASSERT_EQ(mkfifo((tmp / "pipe").c_str(), 0644), 0);
  int held = open((tmp / "pipe").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(held, 0);
  EXPECT_EQ(plat::path_kind(tmp.wide("pipe")), plat::PathKind::Special);
  EXPECT_EQ(plat::open_for_reading(tmp.wide("pipe")), plat::kNoFile);
  EXPECT_EQ(plat::create_for_writing(tmp.wide("pipe")), plat::kNoFile);
  EXPECT_EQ(plat::create_new_file(tmp.wide("pipe")), plat::kNoFile);
  close(held);
  ASSERT_TRUE(plat::list_directory(tmp.wide(""), entries));
  for (const auto& entry : entries) {
    if (entry.name == L"pipe") {
      EXPECT_EQ(entry.kind, plat::PathKind::Special);
    }
  }
  // A new file is made only where nothing stands, a link included, and only its owner reads it.
  ASSERT_EQ(symlink((tmp / "target").c_str(), (tmp / "new-link").c_str()), 0);
  EXPECT_EQ(plat::create_new_file(tmp.wide("new-link")), plat::kNoFile);
  EXPECT_FALSE(exists(tmp / "target"));
  plat::FileHandle fresh = plat::create_new_file(tmp.wide("fresh"));
  EXPECT_NE(fresh, plat::kNoFile);
  plat::close_file(fresh);
  EXPECT_EQ(mode_of(tmp / "fresh"), 0600u);
  // A private directory: new, owner-only; never one that stands there already.
  EXPECT_TRUE(plat::make_private_directory(tmp.wide("private")));
  EXPECT_EQ(mode_of(tmp / "private"), 0700u);
  EXPECT_FALSE(plat::make_private_directory(tmp.wide("private")));
  EXPECT_FALSE(plat::make_private_directory(tmp.wide("new-link")));
  // A link given as a directory resolves to the folder it names; anything else stays as given.
  run_shell("mkdir -p '" + tmp / "real/inner" + "'");
  ASSERT_EQ(symlink("real", (tmp / "via").c_str()), 0);
  ASSERT_EQ(symlink("via/inner", (tmp / "via2").c_str()), 0);
  char real[4096];
  ASSERT_NE(realpath((tmp / "real").c_str(), real), nullptr);
  EXPECT_EQ(plat::resolve_directory_link(tmp.wide("via")), W(real));
  EXPECT_EQ(plat::resolve_directory_link(tmp.wide("via2")), W(std::string(real) + "/inner"));
  EXPECT_EQ(plat::resolve_directory_link(tmp.wide("real")), tmp.wide("real"));
  EXPECT_EQ(plat::resolve_directory_link(tmp.wide("new-link")), tmp.wide("new-link"));   // names nothing
  EXPECT_EQ(plat::resolve_directory_link(tmp.wide("fresh")), tmp.wide("fresh"));

  EXPECT_EQ(plat::make_directory(tmp.wide("m")), plat::MkdirResult::Created);
  EXPECT_EQ(plat::make_directory(tmp.wide("m")), plat::MkdirResult::AlreadyExists);
  EXPECT_EQ(plat::make_directory(tmp.wide("no/such")), plat::MkdirResult::Failed);
  write_text(tmp / "m/x", "x");
  EXPECT_FALSE(plat::remove_empty_directory(tmp.wide("m")));
  EXPECT_TRUE(plat::delete_file(tmp.wide("m/x")));
  EXPECT_TRUE(plat::remove_empty_directory(tmp.wide("m")));
  write_text(tmp / "r1", "1");
  write_text(tmp / "r2", "2");
  EXPECT_TRUE(plat::rename_replacing(tmp.wide("r1"), tmp.wide("r2")));
  EXPECT_EQ(read_text(tmp / "r2"), "1");
  EXPECT_FALSE(exists(tmp / "r1"));
}
