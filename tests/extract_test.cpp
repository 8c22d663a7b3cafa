// Unpacking packages: the three methods in turn, their messages, and entries that try to
// escape the destination.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/ui.h"
#include "common/external.h"
#include "common/filetree.h"
#include "common/strings.h"
#include "install/messages.h"
#include "install/unpack.h"
#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

struct PathGuard {
  std::string path = plat::environment_value("PATH");
  ~PathGuard() { setenv("PATH", path.c_str(), 1); }
};

void write_script(const std::string& path, const std::string& body) {
  write_text(path, "#!/bin/sh\n" + body + "\n");
  chmod(path.c_str(), 0755);
}

// A PATH of stand-ins: `tools` maps a tool name to the body of its script ("" = the real tool,
// logged). Every call is logged in <dir>/calls.
std::string stub_path(const std::string& dir, const std::map<std::string, std::string>& tools) {
  run_shell("mkdir -p '" + dir + "'");
  for (const auto& tool : tools) {
    std::string body = "echo " + tool.first + " >> '" + dir + "/calls'\n";
    body += tool.second.empty() ? "exec /usr/bin/" + tool.first + " \"$@\"" : tool.second;
    write_script(dir + "/" + tool.first, body);
  }
  return dir;
}

// extract_archive with only the given PATH (the test's own helpers need the usual one).
bool extract_with_path(const std::string& path, const std::string& zip, const std::string& dest,
                       std::wstring& error) {
  std::string saved = plat::environment_value("PATH");
  setenv("PATH", path.c_str(), 1);
  bool ok = extract_archive(W(zip), W(dest), error);
  setenv("PATH", saved.c_str(), 1);
  return ok;
}

// Writes a zip with python's zipfile: entries are "name" (file holding its own name),
// "name/" (directory), "name=>target" (symbolic link), "name!" (a character device, empty).
bool python_zip(const std::string& zip, const std::vector<std::string>& entries) {
  std::string script = "import zipfile, stat, sys\nz = zipfile.ZipFile(sys.argv[1], 'w')\n";
  for (const std::string& e : entries) {
    size_t arrow = e.find("=>");
    std::string name = arrow == std::string::npos ? e : e.substr(0, arrow);
    std::string data = arrow == std::string::npos ? e : e.substr(arrow + 2);
    const bool device = arrow == std::string::npos && !e.empty() && e.back() == '!';
    if (device) name = e.substr(0, e.size() - 1), data.clear();
    std::string mode = arrow != std::string::npos ? "stat.S_IFLNK | 0o777"
                       : device                   ? "stat.S_IFCHR | 0o644"
                       : (!name.empty() && name.back() == '/') ? "stat.S_IFDIR | 0o755"
                                                               : "stat.S_IFREG | 0o644";
    script += "i = zipfile.ZipInfo(" + std::string("r'''") + name + "''')\ni.create_system = 3\n";
    script += "i.external_attr = (" + mode + ") << 16\n";
    script += "z.writestr(i, r'''" + data + "''')\n";
  }
  script += "z.close()\n";
  std::string file = zip + ".py";
  write_text(file, script);
  return run_shell("python3 '" + file + "' '" + zip + "' 2>/dev/null") == 0;
}

// A normal package: nested folders, an executable, a Chinese name, an empty file.
std::string sample_package(const TempDir& dir) {
  std::string src = dir / "src";
  write_text(src + "/bin/Morvell.exe", "#!/bin/sh\necho hi\n");
  chmod((src + "/bin/Morvell.exe").c_str(), 0755);
  write_text(src + "/config/设置.json", "{\"a\": 1}");
  write_text(src + "/docs/deep/er/readme.txt", "read me");
  write_text(src + "/empty.txt", "");
  std::string zip = dir / "package.zip";
  EXPECT_TRUE(make_zip(src, zip));
  return zip;
}

void expect_sample(const std::string& dest) {
  EXPECT_EQ(read_text(dest + "/bin/Morvell.exe"), "#!/bin/sh\necho hi\n");
  EXPECT_EQ(read_text(dest + "/config/设置.json"), "{\"a\": 1}");
  EXPECT_EQ(read_text(dest + "/docs/deep/er/readme.txt"), "read me");
  EXPECT_TRUE(exists(dest + "/empty.txt"));
  struct stat st;
  ASSERT_EQ(stat((dest + "/bin/Morvell.exe").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);
}

}  // namespace

TEST(ExtractArchive, FallsThroughTheThreeMethods) {
  PathGuard guard;
  TempDir dir;
  std::string zip = sample_package(dir);
  std::wstring error = L"earlier";

  // The first tool works: nothing else runs and the error text stays as it was.
  ASSERT_TRUE(extract_with_path(stub_path(dir / "p1", {{"bsdtar", ""}, {"unzip", ""}}), zip, dir / "d1/new dest", error));
  EXPECT_EQ(error, L"earlier");
  EXPECT_EQ(read_text(dir / "p1/calls"), "bsdtar\n");
  expect_sample(dir / "d1/new dest");

  // First tool missing: the second one does it, and the error text is cleared.
  ASSERT_TRUE(extract_with_path(stub_path(dir / "p2", {{"unzip", ""}}), zip, dir / "d2", error));
  EXPECT_EQ(error, L"");
  EXPECT_EQ(read_text(dir / "p2/calls"), "unzip\n");
  expect_sample(dir / "d2");

  // A tool that claims success and writes nothing has not unpacked anything.
  ASSERT_TRUE(extract_with_path(stub_path(dir / "p3", {{"bsdtar", "exit 0"}, {"unzip", ""}}), zip, dir / "d3", error));
  EXPECT_EQ(read_text(dir / "p3/calls"), "bsdtar\nunzip\n");
  expect_sample(dir / "d3");

  // Both tools fail: the in-process unpacker does it and pumps the window meanwhile.
  error = L"earlier";
  ASSERT_TRUE(extract_with_path(stub_path(dir / "p4", {{"bsdtar", "exit 1"}, {"unzip", "exit 0"}}), zip, dir / "d4",
                                error));
  EXPECT_EQ(error, L"");
  EXPECT_EQ(read_text(dir / "p4/calls"), "bsdtar\nunzip\n");
  expect_sample(dir / "d4");

  // No tools on the PATH at all.
  ASSERT_TRUE(extract_with_path(dir / "nothing", zip, dir / "d5", error));
  expect_sample(dir / "d5");

  // A tool that fails half-way: what it wrote is gone before the next method starts.
  ASSERT_TRUE(extract_with_path(stub_path(dir / "p6", {{"bsdtar", "echo partial > \"$4/back\\\\slash.txt\"; exit 1"},
                                                         {"unzip", "mkdir -p \"$5/bin\"; echo partial > \"$5/bin/stray\"; exit 2"}}),
                                zip, dir / "d6", error));
  EXPECT_EQ(read_text(dir / "p6/calls"), "bsdtar\nunzip\n");
  expect_sample(dir / "d6");
  EXPECT_FALSE(exists(dir / "d6/back\\slash.txt"));
  EXPECT_FALSE(exists(dir / "d6/bin/stray"));

  // Set-user-ID and set-group-ID bits in a package never reach the disk, whichever method unpacks.
  std::string src = dir / "setid";
  write_text(src + "/bin/Morvell.exe", "#!/bin/sh\n");
  write_text(src + "/bin/helper", "#!/bin/sh\n");
  ASSERT_EQ(run_shell("chmod 4755 '" + src + "/bin/Morvell.exe' && chmod 2755 '" + src + "/bin/helper' && chmod 2755 '" +
                      src + "/bin'"),
            0);
  ASSERT_TRUE(make_zip(src, dir / "setid.zip"));
  const std::map<std::string, std::string> methods[] = {{{"bsdtar", ""}}, {{"unzip", ""}}, {}};
  for (size_t m = 0; m < 3; ++m) {
    const std::string dest = dir / "s" + std::to_string(m);
    ASSERT_TRUE(extract_with_path(stub_path(dir / "ps" + std::to_string(m), methods[m]), dir / "setid.zip", dest, error));
    for (const char* name : {"/bin/Morvell.exe", "/bin/helper", "/bin"}) {
      struct stat st;
      ASSERT_EQ(lstat((dest + name).c_str(), &st), 0) << m << name;
      EXPECT_EQ(st.st_mode & (S_ISUID | S_ISGID), 0u) << "method " << m + 1 << name;
      EXPECT_TRUE(st.st_mode & S_IXUSR) << "method " << m + 1 << name;
    }
  }
}

TEST(ExtractArchive, MessagesWhenEveryMethodFails) {
  PathGuard guard;
  TempDir dir;
  // Tools that succeed without writing, so that the last method decides.
  const std::string p = stub_path(dir / "p", {{"bsdtar", "exit 0"}, {"unzip", "exit 0"}});
  std::wstring error;

  // A zip without entries, and one holding only a folder: nothing to install.
  ASSERT_TRUE(python_zip(dir / "empty.zip", {}));
  EXPECT_FALSE(extract_with_path(p, dir / "empty.zip", dir / "e1", error));
  EXPECT_EQ(error, kPackageEmpty);
  ASSERT_TRUE(python_zip(dir / "folder.zip", {"only/"}));
  error.clear();
  EXPECT_FALSE(extract_with_path(p, dir / "folder.zip", dir / "e2", error));
  EXPECT_EQ(error, kPackageEmpty);

  // Not a zip, or no file at all.
  write_text(dir / "junk.zip", std::string(5000, 'j'));
  EXPECT_FALSE(extract_with_path(p, dir / "junk.zip", dir / "e3", error));
  EXPECT_EQ(error, kCannotOpenPackage);
  EXPECT_FALSE(extract_with_path(p, dir / "missing.zip", dir / "e4", error));
  EXPECT_EQ(error, kCannotOpenPackage);

  // A destination that is a file.
  std::string zip = sample_package(dir);
  write_text(dir / "a-file", "x");
  EXPECT_FALSE(extract_with_path(p, zip, dir / "a-file", error));
  EXPECT_EQ(error, kCannotOpenInstallDir);

  // A damaged package: the first entries come out, then it fails.
  std::string big = dir / "big";
  ASSERT_EQ(run_shell("mkdir -p '" + big + "' && for i in 1 2 3 4 5 6 7 8 9 10; do head -c 40000 /dev/urandom > '" +
                      big + "'/f$i.bin; done"), 0);
  ASSERT_TRUE(make_zip(big, dir / "big.zip"));
  ASSERT_EQ(run_shell("head -c 300000 '" + dir / "big.zip" + "' > '" + dir / "cut.zip" + "'"), 0);
  EXPECT_FALSE(extract_with_path(p, dir / "cut.zip", dir / "e5", error));
  EXPECT_TRUE(error == kUnpackFailed || error == kCannotOpenPackage) << U(error);

  // Data that does not match its checksum is refused by every method, not installed damaged.
  ASSERT_TRUE(python_zip(dir / "crc.zip", {"bin/Morvell.exe"}));   // stored: the data is the name
  ASSERT_EQ(run_shell("python3 -c \"import sys; p = sys.argv[1]; d = bytearray(open(p, 'rb').read()); "
                      "i = d.find(b'Morvell.exe', d.find(b'Morvell.exe') + 1); d[i + 8:i + 11] = b'EXE'; "
                      "open(p, 'wb').write(d)\" '" + dir / "crc.zip" + "'"),
            0);
  EXPECT_FALSE(extract_with_path(p, dir / "crc.zip", dir / "e7", error));
  EXPECT_EQ(error, kUnpackFailed);
  EXPECT_FALSE(extract_with_path(stub_path(dir / "real", {{"bsdtar", ""}, {"unzip", ""}}), dir / "crc.zip", dir / "e8",
                                 error));
  EXPECT_EQ(read_text(dir / "real/calls"), "bsdtar\nunzip\n");

  // The fault seam fails the in-process unpacker like a write failure.
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "unpack_in_process"; });
  error.clear();
  EXPECT_FALSE(extract_with_path(p, zip, dir / "e6", error));
  plat::set_fault_hook(nullptr);
  EXPECT_EQ(error, kUnpackFailed);
}

TEST(ExtractArchive, InProcessUnpackerKeepsModesAndPolls) {
  TempDir dir;
  std::string zip = sample_package(dir);
  ASSERT_EQ(run_shell("mkdir -p '" + dir / "dest" + "' '" + dir / "many-dest" + "'"), 0);
  // The unpacker works inside the destination, yet a package named relative to the caller's
  // folder is that one, every poll runs in the caller's folder, and the folder is the caller's
  // again at the end.
  // A package of many files, whose unpacking polls on the way.
  for (int i = 0; i < 3000; ++i) write_text(dir / "many/" + std::to_string(i % 30) + "/" + std::to_string(i), "x");
  ASSERT_TRUE(make_zip(dir / "many", dir / "many.zip"));
  char before[4096];
  ASSERT_NE(getcwd(before, sizeof before), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const auto in_callers_folder = [&]() { return plat::same_file(L".", dir.wide()); };
  int polls = 0, polls_elsewhere = 0;
  EXPECT_EQ(plat::unpack_in_process(L"many.zip", W(dir / "many-dest"),
                                    [&]() {
                                      ++polls;
                                      if (!in_callers_folder()) ++polls_elsewhere;
                                    }),
            plat::UnpackResult::Ok);
  EXPECT_TRUE(in_callers_folder());
  ASSERT_EQ(chdir(before), 0);
  EXPECT_EQ(read_text(dir / "many-dest/29/2999"), "x");
  EXPECT_GE(polls, 2);
  EXPECT_EQ(polls_elsewhere, 0);
  EXPECT_EQ(plat::unpack_in_process(W(zip), W(dir / "dest"), nullptr), plat::UnpackResult::Ok);
  expect_sample(dir / "dest");
  // Over an earlier, partial unpack: files are replaced.
  write_text(dir / "dest/docs/deep/er/readme.txt", "stale and longer than before");
  EXPECT_EQ(plat::unpack_in_process(W(zip), W(dir / "dest"), nullptr), plat::UnpackResult::Ok);
  expect_sample(dir / "dest");
  EXPECT_EQ(plat::unpack_in_process(W(zip), W(dir / "no-such-dest"), nullptr),
            plat::UnpackResult::DestinationUnusable);
}

// Every method, on its own and through extract_archive, keeps every entry inside the
// destination: "..", absolute names, links followed by entries through them, links replaced by files.
TEST(ExtractArchive, NoMethodWritesOutsideTheDestination) {
  PathGuard guard;
  TempDir dir;
  std::string outside = dir / "outside";
  write_text(outside + "/victim.txt", "original");
  const std::string abs_target = dir / "abs-written.txt";
  struct Case {
    const char* name;
    std::vector<std::string> entries;
  };
  const std::vector<Case> cases = {
      {"dotdot", {"ok.txt", "../dotdot-written.txt", "sub/../../dotdot2-written.txt"}},
      {"absolute", {"ok.txt", abs_target}},
      {"link-dir", {"ok.txt", "lnk=>" + outside, "lnk/through-link.txt"}},
      {"link-dir-2", {"ok.txt", "lnk=>../../outside", "lnk/", "lnk/through-link.txt"}},
      {"link-file", {"ok.txt", "victim.txt=>" + outside + "/victim.txt", "victim.txt"}},
      {"link-out", {"ok.txt", "sub/", "sub/lnk=>" + outside}},
      {"link-up", {"ok.txt", "sub/", "sub/lnk=>../../outside"}},
      {"link-via-link", {"ok.txt", "sub/", "sub/here=>.", "sub/lnk=>here/../../outside"}},
      {"link-in", {"ok.txt", "sub/", "sub/lnk=>../ok.txt"}},
      {"device", {"ok.txt", "dev!"}},
  };
  for (const Case& c : cases) ASSERT_TRUE(python_zip(dir / c.name + ".zip", c.entries)) << c.name;
  const auto outside_before = snapshot_tree(outside);

  // Nothing that an entry names may show up anywhere but below `dest`, and nothing outside changes.
  auto check = [&](const std::string& label, const std::string& dest) {
    (void)dest;
    for (const auto& item : snapshot_tree(dir.path())) {
      // Below some destination folder is inside; "dests/x" itself would be one level too high.
      if (item.first.rfind("dests/", 0) == 0 && item.first.find('/', 6) != std::string::npos) continue;
      bool escaped = item.first.find("written") != std::string::npos ||
                     item.first.find("through-link") != std::string::npos;
      EXPECT_FALSE(escaped) << label << ": wrote " << item.first;
    }
    EXPECT_EQ(snapshot_tree(outside), outside_before) << label;
    EXPECT_FALSE(exists(abs_target)) << label;
  };

  int n = 0;
  for (const Case& c : cases) {
    const std::string zip = dir / c.name + ".zip";
    for (int method = 1; method <= 3; ++method) {
      std::string dest = dir / "dests/m" + std::to_string(method) + "-" + std::to_string(++n);
      ASSERT_EQ(run_shell("mkdir -p '" + dest + "'"), 0);
      if (method < 3) {
        std::wstring program, error;
        std::vector<std::wstring> arguments;
        ASSERT_TRUE(plat::archive_tool_command(method, W(zip), W(dest), program, arguments));
        run_and_wait(program, arguments, L"", error, nullptr, false);
      } else {
        plat::UnpackResult r = plat::unpack_in_process(W(zip), W(dest), nullptr);
        // An unsafe entry stops our own unpacker; a link that a later entry replaces is merely replaced.
        const std::string name = c.name;
        if (name == "dotdot" || name == "absolute" || name == "link-dir") {
          EXPECT_EQ(r, plat::UnpackResult::Failed) << c.name;
        }
      }
      check(std::string(c.name) + " method " + std::to_string(method), dest);
      // Then each later method over what the earlier one left (links included).
      for (int later = method + 1; later <= 3; ++later) {
        if (later < 3) {
          std::wstring program, error;
          std::vector<std::wstring> arguments;
          plat::archive_tool_command(later, W(zip), W(dest), program, arguments);
          run_and_wait(program, arguments, L"", error, nullptr, false);
        } else {
          plat::unpack_in_process(W(zip), W(dest), nullptr);
        }
        check(std::string(c.name) + " method " + std::to_string(later) + " after " + std::to_string(method), dest);
      }
    }
    // The same archive carried inside another file, between bytes of other archives, through the
    // unpacker that reads it where it lies: the same refusals, and nothing written outside.
    {
      const std::string carrier = dir / "carriers/" + c.name + ".bin";
      const std::string archive = read_text(zip), front = read_text(dir / "dotdot.zip");
      write_text(carrier, front + archive + read_text(dir / "absolute.zip"));
      std::string dest = dir / "dests/range-" + std::to_string(++n);
      std::wstring error;
      const bool ok = extract_archive_range(W(carrier), front.size(), archive.size(), W(dest), error);
      const std::string label = std::string(c.name) + " from a range";
      check(label, dest);
      if (ok) {
        EXPECT_TRUE(tree_is_self_contained(W(dest))) << label;
        EXPECT_EQ(read_text(dest + "/ok.txt"), "ok.txt") << label;
      }
      const std::string name = c.name;
      if (name == "dotdot" || name == "absolute" || name == "link-dir" || name == "link-out" || name == "link-up" ||
          name == "link-via-link") {
        EXPECT_FALSE(ok) << label;
        EXPECT_EQ(error, kUnpackFailed) << label;
      }
      if (name == "link-in") {
        EXPECT_TRUE(ok) << label;
        EXPECT_EQ(read_text(dest + "/sub/lnk"), "ok.txt") << label;
      }
    }
    // And the whole fall-through, with each tool on its own or none.
    for (const char* tools : {"both", "unzip", "none"}) {
      std::string p = dir / "paths/" + c.name + "-" + tools;
      std::map<std::string, std::string> set;
      if (std::string(tools) == "both") set = {{"bsdtar", ""}, {"unzip", ""}};
      if (std::string(tools) == "unzip") set = {{"unzip", ""}};
      stub_path(p, set);
      std::string dest = dir / "dests/all-" + std::to_string(++n);
      std::wstring error;
      const bool ok = extract_with_path(p, zip, dest, error);
      const std::string label = std::string(c.name) + " through extract_archive with " + tools;
      check(label, dest);
      // What an unpacker leaves is accepted only without a link out and without a device;
      // a link that stays inside is kept, and a device (made by bsdtar when run as root) refused.
      if (ok) {
        EXPECT_TRUE(tree_is_self_contained(W(dest))) << label;
      }
      const std::string name = c.name;
      if (name == "link-dir" || name == "link-out" || name == "link-up" || name == "link-via-link") {
        EXPECT_FALSE(ok) << label;
        EXPECT_EQ(error, kUnpackFailed) << label;
      }
      if (name == "link-in") {
        EXPECT_TRUE(ok) << label;
        EXPECT_EQ(read_text(dest + "/sub/lnk"), "ok.txt") << label;
      }
      if (name == "device" && std::string(tools) == "both" && getuid() == 0) {
        EXPECT_FALSE(ok) << label;
      }
    }
  }
}

// An archive inside another file is read within its range and nowhere else: whole archives before
// and after it are never seen, and a range that ends before the archive does fails, although the
// rest of the archive lies right after it.
TEST(ExtractArchive, ARangeOfAFileIsReadAndNothingAroundIt) {
  TempDir dir;
  const std::string archive = read_text(sample_package(dir));
  write_text(dir / "other/front.txt", "before the range");
  write_text(dir / "other/bin/Morvell.exe", "not the package's program");
  ASSERT_TRUE(make_zip(dir / "other", dir / "other.zip"));
  const std::string other = read_text(dir / "other.zip");
  const std::string carrier = dir / "carrier.bin";
  write_text(carrier, other + archive + other);
  std::wstring error;
  ASSERT_TRUE(extract_archive_range(W(carrier), other.size(), archive.size(), W(dir / "dest"), error)) << U(error);
  expect_sample(dir / "dest");
  EXPECT_FALSE(exists(dir / "dest/front.txt"));

  // A big file that does not compress, so that a range cut short ends inside its data.
  std::string big(1 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
  write_text(dir / "src2/bin/Morvell.exe", "#!/bin/sh\n");
  write_text(dir / "src2/data/big.bin", big);
  ASSERT_TRUE(make_zip(dir / "src2", dir / "big.zip"));
  const std::string heavy = read_text(dir / "big.zip");
  write_text(carrier, other + heavy + other);
  for (uint64_t cut : {uint64_t(1000), uint64_t(heavy.size() / 2)}) {
    const std::string dest = dir / ("short-" + std::to_string(cut));
    error.clear();
    EXPECT_FALSE(extract_archive_range(W(carrier), other.size(), cut, W(dest), error)) << cut;
    EXPECT_FALSE(error.empty()) << cut;
    EXPECT_FALSE(read_text(dest + "/data/big.bin") == big) << cut;
    EXPECT_FALSE(exists(dest + "/front.txt")) << cut;
  }
  // A range beyond the end of the file, or one that cannot be addressed, is no archive.
  EXPECT_EQ(plat::unpack_range_in_process(W(carrier), read_text(carrier).size() + 10, 100, W(dir / "dest"), nullptr),
            plat::UnpackResult::PackageUnreadable);
  EXPECT_EQ(plat::unpack_range_in_process(W(carrier), ~uint64_t(0) - 5, 100, W(dir / "dest"), nullptr),
            plat::UnpackResult::PackageUnreadable);
}
