// The work directory beside the program and the package carried behind an offline installer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/ui.h"
#include "package/messages.h"
#include "package/payload.h"
#include "package/workdir.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/pe_head.h"

using namespace testing_support;

namespace {

const std::wstring kNoPackage = kNoCarriedPackage;

bool parse(const std::string& tail, uint64_t& p, uint64_t& l) { return parse_payload_trailer(tail.data(), tail.size(), p, l); }

std::string bytes(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7 + (i >> 9));
  return s;
}

// Points the program (and so the work directory) at a crafted file for the life of the fixture.
struct CraftedProgram {
  TempDir dir;
  std::string program = dir / "setup.bin";
  std::string work = dir / "Morvell-Installer-Temp";
  std::string copy = work + "/Morvell-offline-package.zip";
  explicit CraftedProgram(const std::string& content) {
    write_text(program, content);
    set_work_program_path(W(program));
  }
  ~CraftedProgram() { set_work_program_path(L""); }
};

uint32_t frozen_clock() { return 5000; }
uint32_t stepping_clock() {
  static uint32_t now = 0;
  return now += 150;
}

}  // namespace

TEST(PayloadTrailer, ScanRules) {
  uint64_t p = 9, l = 9;
  EXPECT_TRUE(parse("xxxxMORV-PACKAGE:100:200", p, l));
  EXPECT_EQ(p, 100u);
  EXPECT_EQ(l, 200u);
  // White space before P and a line break after L are accepted.
  EXPECT_TRUE(parse("MORV-PACKAGE: \t7:8\r\n", p, l));
  EXPECT_EQ(p, 7u);
  EXPECT_EQ(l, 8u);
  // White space after the colon is skipped by the scan; what follows L is ignored.
  EXPECT_TRUE(parse("MORV-PACKAGE:7: 8 junk", p, l));
  EXPECT_EQ(l, 8u);
  // Zero offset or length, a blank before the colon, and a missing length are refused.
  EXPECT_FALSE(parse("MORV-PACKAGE:0:200", p, l));
  EXPECT_FALSE(parse("MORV-PACKAGE:100:0", p, l));
  EXPECT_FALSE(parse("MORV-PACKAGE:100 :200", p, l));
  EXPECT_FALSE(parse("MORV-PACKAGE:100", p, l));
  EXPECT_FALSE(parse("MORV-PACKAGE:", p, l));
  EXPECT_FALSE(parse("morv-package:100:200", p, l));
  EXPECT_FALSE(parse("MORV-PACKAG", p, l));
  EXPECT_FALSE(parse("", p, l));
  // The last marker counts, even when the later trailer is the broken one.
  EXPECT_TRUE(parse("MORV-PACKAGE:1:2MORV-PACKAGE:30:40", p, l));
  EXPECT_EQ(p, 30u);
  EXPECT_EQ(l, 40u);
  EXPECT_FALSE(parse("MORV-PACKAGE:1:2 MORV-PACKAGE:0:40", p, l));
  // The text ends at the first zero byte.
  EXPECT_FALSE(parse(std::string("MORV-PACKAGE:12\0:34", 19), p, l));
  // Numbers are 64-bit.
  EXPECT_TRUE(parse("MORV-PACKAGE:5000000000:6000000000", p, l));
  EXPECT_EQ(p, 5000000000ull);
  EXPECT_EQ(l, 6000000000ull);
}

TEST(OfflinePayload, CopiesTheCarriedArchiveWithProgress) {
  std::string program = bytes(3000, 'a');
  std::string archive = bytes(2500000, 'z');
  CraftedProgram crafted(program + archive + "MORV-PACKAGE:3000:2500000");
  ui_trace = UiTrace();
  ui_clock = frozen_clock;
  std::wstring package, error;
  EXPECT_TRUE(extract_offline_payload(package, error));
  ui_clock = plat::tick_ms;
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(package, W(crafted.copy));
  EXPECT_TRUE(read_text(crafted.copy) == archive);
  // A clock that never moves: every piece is quick, so after the first MiB the next piece is
  // twice as large and holds the rest; the first piece and the last update the bar.
  EXPECT_EQ(ui_trace.progress_updates, 2u);
  EXPECT_GE(ui_trace.pumps, 2u * 2u);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, bar::kCarriedRead.to);
  EXPECT_EQ(ui_trace.last_status, L"正在读取离线安装包... 2.4 MB / 2.4 MB");

  // A clock that moves 150 ms at every look: each piece seems to take more than half an event
  // slice, so pieces halve down to 64 KiB (1 MiB, 512, 256, 128, 64 KiB, then 8 of 64 KiB for
  // the last 468,384 bytes), and the bar moves after every one; an old copy is replaced.
  write_text(crafted.copy, std::string(5000000, 'x'));
  ui_trace = UiTrace();
  ui_clock = stepping_clock;
  EXPECT_TRUE(extract_offline_payload(package, error));
  ui_clock = plat::tick_ms;
  EXPECT_EQ(ui_trace.progress_updates, 13u);
  EXPECT_TRUE(read_text(crafted.copy) == archive);

  // The same copy of any part of a file, here the program part before the archive; a piece
  // that cannot be read fails it.
  const std::string part = crafted.dir / "program-part.bin";
  size_t pieces = 0;
  EXPECT_TRUE(copy_file_part(W(crafted.program), 0, 3000, W(part), false, [&](uint64_t) { ++pieces; }));
  EXPECT_TRUE(read_text(part) == program);
  EXPECT_EQ(pieces, 1u);
  EXPECT_TRUE(copy_file_part(W(crafted.program), 3000 + 2499999, 1, W(part), false, {}));
  EXPECT_EQ(read_text(part), archive.substr(2499999));
  EXPECT_FALSE(copy_file_part(W(crafted.program), 3000, 9000000, W(part), false, {}));
  EXPECT_FALSE(copy_file_part(W(crafted.dir / "missing.bin"), 0, 1, W(part), false, {}));

  // What carries a payload: a trailer under the rules whose archive lies within the file.
  uint64_t p = 0, l = 0;
  EXPECT_TRUE(find_carried_payload(W(crafted.program), p, l));
  EXPECT_EQ(p, 3000u);
  EXPECT_EQ(l, 2500000u);
  write_text(crafted.program, program + archive + "MORV-PACKAGE:3000:2500025");   // the trailer too
  EXPECT_TRUE(find_carried_payload(W(crafted.program), p, l));
  write_text(crafted.program, program + archive + "MORV-PACKAGE:3000:2500026");   // one byte past the end
  EXPECT_FALSE(find_carried_payload(W(crafted.program), p, l));
  write_text(crafted.program, program + archive + "MORV-PACKAGE:99999999:1");
  EXPECT_FALSE(find_carried_payload(W(crafted.program), p, l));
  write_text(crafted.program, program + archive);
  EXPECT_FALSE(find_carried_payload(W(crafted.program), p, l));
}

TEST(OfflinePayload, ArchiveOfExactlyOneMebibyteIsOneChunkAndOneUpdate) {
  std::string archive = bytes(1048576, 'q');
  CraftedProgram crafted(bytes(200, 'p') + archive + "MORV-PACKAGE:200:1048576\n");
  ui_trace = UiTrace();
  std::wstring package, error;
  EXPECT_TRUE(extract_offline_payload(package, error));
  EXPECT_EQ(ui_trace.progress_updates, 1u);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, bar::kCarriedRead.to);
  EXPECT_EQ(ui_trace.last_status, L"正在读取离线安装包... 1.0 MB / 1.0 MB");
  EXPECT_EQ(read_text(crafted.copy).size(), 1048576u);
}

TEST(OfflinePayload, TrailerMustLieInTheLast4096Bytes) {
  std::string archive = bytes(500, 'k');
  std::string trailer = "MORV-PACKAGE:300:500";
  {
    // The marker starts 4097 bytes before the end: not seen, no work directory made.
    CraftedProgram crafted(bytes(300, 'p') + archive + trailer + std::string(4097 - trailer.size(), ' '));
    std::wstring package, error;
    EXPECT_FALSE(extract_offline_payload(package, error));
    EXPECT_EQ(error, kNoPackage);
    EXPECT_TRUE(package.empty());
    EXPECT_FALSE(exists(crafted.work));
  }
  {
    // Exactly 4096 bytes before the end: found.
    CraftedProgram crafted(bytes(300, 'p') + archive + trailer + std::string(4096 - trailer.size(), ' '));
    std::wstring package, error;
    EXPECT_TRUE(extract_offline_payload(package, error));
    EXPECT_TRUE(read_text(crafted.copy) == archive);
  }
}

TEST(OfflinePayload, RefusedTrailersAndBrokenCopies) {
  std::string head = bytes(300, 'p');
  std::string archive = bytes(700, 'k');
  struct Case {
    std::string content;
    const char* why;
  };
  const Case refused[] = {
      {head + archive, "no trailer at all"},
      {head + archive + "MORV-PACKAGE:0:700", "offset zero"},
      {head + archive + "MORV-PACKAGE:300:0", "length zero"},
      {head + archive + "MORV-PACKAGE:300 :700", "blank between offset and colon"},
      {"MORV-PACKAGE:1:2" + std::string(110, ' '), "file of 128 bytes or less"},
  };
  for (const Case& c : refused) {
    CraftedProgram crafted(c.content);
    std::wstring package, error;
    EXPECT_FALSE(extract_offline_payload(package, error)) << c.why;
    EXPECT_EQ(error, kNoPackage) << c.why;
    EXPECT_TRUE(package.empty()) << c.why;
    EXPECT_FALSE(exists(crafted.work)) << c.why;
    // The same for the package as the install reads it.
    PackageSource source;
    bool copied = true;
    error.clear();
    EXPECT_FALSE(offline_package(source, copied, error)) << c.why;
    EXPECT_EQ(error, kNoPackage) << c.why;
    EXPECT_FALSE(exists(crafted.work)) << c.why;
  }
  {
    // Two trailers: the later one counts (the earlier one points at garbage).
    CraftedProgram crafted(head + archive + "MORV-PACKAGE:1:5" + "MORV-PACKAGE:300:700");
    std::wstring package, error;
    EXPECT_TRUE(extract_offline_payload(package, error));
    EXPECT_TRUE(read_text(crafted.copy) == archive);
    // Where the unpacker reads a range, the install reads the archive where it lies: no copy.
    run_shell("rm -rf '" + crafted.work + "'");
    PackageSource source;
    bool copied = false;
    ASSERT_TRUE(offline_package(source, copied, error));
    EXPECT_EQ(copied, !plat::kUnpacksFileRange);
    if (!copied) {
      EXPECT_EQ(source.file, W(crafted.program));
      EXPECT_EQ(source.offset, 300u);
      EXPECT_EQ(source.length, 700u);
      EXPECT_FALSE(exists(crafted.work));
    }
  }
  {
    // A length that runs past the end of the file: what exists is copied, then it fails
    // without a message, and the destination has been named.
    std::string content = head + archive + "MORV-PACKAGE:300:900000";
    CraftedProgram crafted(content);
    std::wstring package, error;
    EXPECT_FALSE(extract_offline_payload(package, error));
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(package, W(crafted.copy));
    EXPECT_EQ(read_text(crafted.copy), content.substr(300));
    // Read where it lies, the range is refused before anything is unpacked, as its copy fails.
    run_shell("rm -rf '" + crafted.work + "'");
    PackageSource source;
    bool copied = false;
    EXPECT_FALSE(offline_package(source, copied, error));
    EXPECT_TRUE(error.empty());
    if (!copied) {
      EXPECT_TRUE(source.file.empty());
    }
    EXPECT_EQ(exists(crafted.work), copied);
  }
  {
    // The program cannot be read at all.
    TempDir dir;
    set_work_program_path(W(dir / "missing.bin"));
    std::wstring package, error;
    EXPECT_FALSE(extract_offline_payload(package, error));
    EXPECT_EQ(error, kNoPackage);
    EXPECT_FALSE(exists(dir / "Morvell-Installer-Temp"));
    set_work_program_path(L"");
  }
}

// Signing appends a certificate table after the trailer: the trailer is looked for where that
// table begins, however long the table is and whatever it holds.
TEST(OfflinePayload, ASignedInstallerCarriesItsTrailerBeforeItsSignature) {
  const std::string archive = bytes(700, 'k');
  const std::string trailer = "MORV-PACKAGE:512:700";
  const size_t packed = 512 + archive.size() + trailer.size();
  const size_t table = (packed + 7) / 8 * 8;   // the signer pads to an 8-byte boundary
  for (const std::string& signature : {std::string(5000, 's'), bytes(900, 'c') + "MORV-PACKAGE:1:2" + bytes(90, 'c')}) {
    const std::string content = program_head(static_cast<uint32_t>(table), static_cast<uint32_t>(signature.size()), 0x1234) +
                                archive + trailer + std::string(table - packed, '\0') + signature;
    CraftedProgram crafted(content);
    uint64_t offset = 0, length = 0;
    EXPECT_TRUE(find_carried_payload(W(crafted.program), offset, length));
    std::wstring package, error;
    EXPECT_TRUE(extract_offline_payload(package, error)) << signature.size();
    EXPECT_TRUE(read_text(crafted.copy) == archive) << signature.size();

    // Its program part, written as a program of its own, no longer points at that signature and
    // has a checksum of its own; every other byte is the program's.
    const std::string part = crafted.dir / "part.exe";
    ASSERT_TRUE(copy_program_part(W(crafted.program), 512, W(part), nullptr));
    const std::string written = read_text(part);
    ASSERT_EQ(written.size(), 512u);
    const size_t entry = kHeadSecurityEntryAt, checksum = kHeadChecksumAt;
    EXPECT_EQ(written.substr(entry, 8), std::string(8, '\0'));
    EXPECT_NE(written.substr(checksum, 4), content.substr(checksum, 4));
    EXPECT_EQ(written.substr(0, checksum), content.substr(0, checksum));
    EXPECT_EQ(written.substr(checksum + 4, entry - checksum - 4), content.substr(checksum + 4, entry - checksum - 4));
    EXPECT_EQ(written.substr(entry + 8), content.substr(entry + 8, 512 - entry - 8));
  }
  {
    // Packed after it was signed: the trailer is at the very end, and the program part is the
    // signed program as it was. A program without a checksum keeps none.
    const std::string signed_program = program_head(512, 300, 0) + bytes(300, 's');
    CraftedProgram crafted(signed_program + archive + "MORV-PACKAGE:812:700");
    std::wstring package, error;
    EXPECT_TRUE(extract_offline_payload(package, error));
    EXPECT_TRUE(read_text(crafted.copy) == archive);
    const std::string part = crafted.dir / "part.exe";
    ASSERT_TRUE(copy_program_part(W(crafted.program), 812, W(part), nullptr));
    EXPECT_TRUE(read_text(part) == signed_program);
  }
}

TEST(WorkDirectory, LiesBesideTheProgramAndOnlyItsOwnFilesAreDeleted) {
  TempDir dir;
  set_work_program_path(W(dir / "setup.bin"));
  const std::string work = dir / "Morvell-Installer-Temp";

  // An empty path does nothing and creates nothing.
  delete_work_file(L"");
  EXPECT_FALSE(exists(work));

  std::wstring path = work_file_path(L"a.zip");
  EXPECT_EQ(path, W(work + "/a.zip"));
  EXPECT_TRUE(is_dir(work));

  write_text(work + "/a.zip", "a");
  write_text(work + "/sub/b.zip", "b");
  write_text(dir / "user.zip", "u");
  write_text(dir / "morvell-installer-temp/c.zip", "c");
  delete_work_file(W(dir / "user.zip"));                           // outside: kept
  delete_work_file(W(work + "/sub/b.zip"));                        // one level down: kept
  delete_work_file(W(dir / "morvell-installer-temp/c.zip"));       // other letter case: kept
  delete_work_file(W(work + "/sub"));                              // a directory: kept
  EXPECT_TRUE(exists(dir / "user.zip"));
  EXPECT_TRUE(exists(work + "/sub/b.zip"));
  EXPECT_TRUE(exists(dir / "morvell-installer-temp/c.zip"));
  delete_work_file(W(work + "/a.zip"));
  EXPECT_FALSE(exists(work + "/a.zip"));

  // Clean-up removes the whole directory, leftovers included, and nothing beside it.
  cleanup_work_directory();
  EXPECT_FALSE(exists(work));
  EXPECT_TRUE(exists(dir / "user.zip"));
  // Without a work directory, clean-up makes one and removes it again.
  cleanup_work_directory();
  EXPECT_FALSE(exists(work));

  // A folder of that name that no run of ours made (the user's, world-writable, holding a file
  // of the name we write) is left exactly as it is: the run takes the next name, made afresh and
  // for this user alone, and the files it writes there are new.
  write_text(work + "/Morvell-offline-package.zip", "someone else's");
  write_text(work + "/planted.txt", "p");
  const auto planted = snapshot_tree(work);
  const std::string next = dir / "Morvell-Installer-Temp-2";
  EXPECT_EQ(work_file_path(L"Morvell-offline-package.zip"), W(next + "/Morvell-offline-package.zip"));
  EXPECT_TRUE(plat::owned_by_current_user(W(next)));
  EXPECT_EQ(snapshot_tree(work), planted);
  plat::FileHandle mine = plat::create_new_file(W(next + "/mine.bin"));
  EXPECT_NE(mine, plat::kNoFile);
  plat::close_file(mine);
  EXPECT_EQ(plat::create_new_file(W(next + "/mine.bin")), plat::kNoFile);   // never over what is there
  cleanup_work_directory();
  EXPECT_FALSE(exists(next));
  EXPECT_EQ(snapshot_tree(work), planted);
  run_shell("rm -rf '" + work + "'");
  // A leftover of a run of ours that was killed (its lock nobody holds) goes, and its name is used.
  write_text(work + "/.morvell-work.lock", "");
  write_text(work + "/Morvell-download.zip", "half a download");
  EXPECT_EQ(work_file_path(L"x"), W(work + "/x"));
  EXPECT_FALSE(exists(work + "/Morvell-download.zip"));
  cleanup_work_directory();
  EXPECT_FALSE(exists(work));
  // When it cannot be made, no path into that name is given at all.
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "make_directory"; });
  EXPECT_EQ(work_file_path(L"x"), L"");
  plat::set_fault_hook(nullptr);

  // A program path without any directory part puts the work directory under ".".
  set_work_program_path(L"setup.bin");
  EXPECT_EQ(work_file_path(L"x"), L"./Morvell-Installer-Temp/x");
  cleanup_work_directory();
  set_work_program_path(L"");
}
