// SHA-256 of package files: digests checked against the system's sha256sum, the progress
// shown while hashing, and the exact comparison rule.
#include <gtest/gtest.h>

#include <string>

#include "app/ui.h"
#include "common/strings.h"
#include "package/verify.h"
#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

std::string system_digest(const std::string& path) {
  std::string out = capture_shell("sha256sum '" + path + "'");
  return out.substr(0, out.find(' '));
}

uint32_t frozen_clock() { return 777; }
uint32_t racing_clock() {
  static uint32_t now = 1;
  return now += 1000;
}

struct ClockGuard {
  explicit ClockGuard(ClockFunction clock) { ui_clock = clock; }
  ~ClockGuard() { ui_clock = &plat::tick_ms; }
};

std::string bytes(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 131 + 7) % 251);
  return out;
}

std::wstring sizes_text(uint64_t done, uint64_t size) {
  return L"正在校验安装包... " + format_byte_size(done) + L" / " + format_byte_size(size);
}

}  // namespace

TEST(Sha256, RunningDigestPieces) {
  unsigned char out[32];
  plat::Sha256* d = plat::sha256_begin();
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(plat::sha256_add(d, "ab", 2));
  EXPECT_TRUE(plat::sha256_add(d, "", 0));
  EXPECT_TRUE(plat::sha256_add(d, "c", 1));
  ASSERT_TRUE(plat::sha256_finish(d, out));
  const unsigned char abc[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                 0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 32), std::string(reinterpret_cast<const char*>(abc), 32));
  plat::sha256_discard(plat::sha256_begin());
  plat::sha256_discard(nullptr);
  EXPECT_FALSE(plat::sha256_add(nullptr, "x", 1));
  EXPECT_FALSE(plat::sha256_finish(nullptr, out));
}

TEST(Sha256, FileDigestsAndProgress) {
  TempDir dir;
  std::string digest = "previous";

  // Empty file: the digest of nothing, and no progress at all.
  write_text(dir / "empty", "");
  ui_trace = UiTrace();
  ASSERT_TRUE(sha256_file_hex(dir.wide("empty"), digest));
  EXPECT_EQ(digest, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(ui_trace.progress_updates, 0u);
  EXPECT_EQ(ui_trace.last_status, L"");

  // Exactly one buffer: one update, the same size on both sides, the bar at the end of the digest span.
  write_text(dir / "one", bytes(65536));
  ui_trace = UiTrace();
  {
    ClockGuard clock(&frozen_clock);
    ASSERT_TRUE(sha256_file_hex(dir.wide("one"), digest));
  }
  EXPECT_EQ(digest, system_digest(dir / "one"));
  EXPECT_EQ(ui_trace.progress_updates, 1u);
  EXPECT_EQ(ui_trace.last_status, sizes_text(65536, 65536));
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, bar::kDigest.to);

  // A large file is hashed a few pieces ahead of its reading. With no time passing, the pieces
  // are told together, once, at the end; with every piece taking a second, each of its 128 KiB
  // pieces is shown: 40 whole ones and the last 123 bytes.
  const size_t size = 5 * 1048576 + 123;
  write_text(dir / "many", bytes(size));
  ui_trace = UiTrace();
  {
    ClockGuard clock(&frozen_clock);
    ASSERT_TRUE(sha256_file_hex(dir.wide("many"), digest));
  }
  EXPECT_EQ(digest, system_digest(dir / "many"));
  EXPECT_EQ(digest.size(), 64u);
  EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(ui_trace.progress_updates, 1u);
  EXPECT_EQ(ui_trace.last_status, sizes_text(size, size));
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, bar::kDigest.to);
  ui_trace = UiTrace();
  {
    ClockGuard clock(&racing_clock);
    ASSERT_TRUE(sha256_file_hex(dir.wide("many"), digest));
  }
  EXPECT_EQ(digest, system_digest(dir / "many"));
  EXPECT_EQ(ui_trace.progress_updates, 41u);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, bar::kDigest.to);

  // A missing file, a directory: false, digest untouched.
  digest = "kept";
  EXPECT_FALSE(sha256_file_hex(dir.wide("missing"), digest));
  EXPECT_EQ(digest, "kept");
  EXPECT_FALSE(sha256_file_hex(dir.wide(), digest));
  EXPECT_EQ(digest, "kept");

  // A file whose reading fails (this process's memory read from address 0) gives no digest at
  // all: the digest of what could be read would be a wrong one.
  if (exists("/proc/self/mem")) {
    EXPECT_FALSE(sha256_file_hex(W("/proc/self/mem"), digest));
    EXPECT_EQ(digest, "kept");
  }

  // A file whose size cannot be known in advance is hashed all the same, without progress.
  ui_trace = UiTrace();
  if (exists("/proc/self/status")) {
    EXPECT_TRUE(sha256_file_hex(W("/proc/self/status"), digest));
    EXPECT_EQ(digest.size(), 64u);
    EXPECT_EQ(ui_trace.progress_updates, 0u);
  }
}

TEST(Sha256, PackageMustMatchTheManifestExactly) {
  TempDir dir;
  write_text(dir / "pkg.zip", bytes(100000));
  std::string good = system_digest(dir / "pkg.zip");
  ASSERT_EQ(good.size(), 64u);
  std::string upper = good;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  ASSERT_NE(upper, good) << "a digest with no letter in it would make this case meaningless";

  EXPECT_TRUE(package_digest_matches(dir.wide("pkg.zip"), good));
  EXPECT_FALSE(package_digest_matches(dir.wide("pkg.zip"), upper));
  EXPECT_FALSE(package_digest_matches(dir.wide("pkg.zip"), good + " "));
  EXPECT_FALSE(package_digest_matches(dir.wide("pkg.zip"), " " + good));
  EXPECT_FALSE(package_digest_matches(dir.wide("pkg.zip"), "sha256:" + good));
  EXPECT_FALSE(package_digest_matches(dir.wide("pkg.zip"), good.substr(0, 63)));
  EXPECT_FALSE(package_digest_matches(dir.wide("pkg.zip"), ""));
  EXPECT_FALSE(package_digest_matches(dir.wide("missing.zip"), good));
}
