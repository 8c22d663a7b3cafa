// HTTP(S) GET and the download into memory or a file, against a real HTTPS server on
// 127.0.0.1 that trusts a certificate authority made for the test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "app/ui.h"
#include "catalogue/download.h"
#include "catalogue/messages.h"
#include "common/log.h"
#include "common/strings.h"
#include "package/verify.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/https_fixture.h"
#include "support/log_reader.h"

using namespace testing_support;

namespace {

// The bytes that the server generates for /_/bytes and friends.
std::string pattern(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i % 256);
  return out;
}

std::string encoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

uint32_t frozen_clock() { return 5000; }
uint32_t racing_clock() {
  static uint32_t now = 1;
  return now += 1000;
}

struct ClockGuard {
  explicit ClockGuard(ClockFunction clock) { ui_clock = clock; }
  ~ClockGuard() { ui_clock = &plat::tick_ms; }
};

struct Fetch {
  plat::HttpStage stage = plat::HttpStage::Done;
  long status = -1;
  uint32_t length = 12345;
  int responses = 0;
  uint64_t idles = 0;
  std::string body;
};

Fetch get(const std::string& url, bool accept = true) {
  Fetch f;
  plat::HttpHandlers handlers;
  handlers.on_response = [&](long status, uint32_t length) {
    ++f.responses;
    f.status = status;
    f.length = length;
    return accept;
  };
  handlers.on_data = [&](const char* data, size_t size) {
    f.body.append(data, size);
    return true;
  };
  handlers.on_idle = [&] { ++f.idles; };
  f.stage = plat::http_get(url, handlers);
  return f;
}

struct Result {
  bool ok = false;
  std::wstring error;
};

Result to_file(const std::string& url, const std::string& path) {
  Result r;
  r.error = L"untouched";
  r.ok = http_download(url, nullptr, W(path), r.error);
  return r;
}

Result to_memory(const std::string& url, std::string& body) {
  Result r;
  r.error = L"untouched";
  r.ok = http_download(url, &body, std::wstring(), r.error);
  return r;
}

std::wstring length_text(uint64_t received, uint64_t length) {
  return L"正在下载安装包... " + format_byte_size(received) + L" / " + format_byte_size(length);
}

// The waits between attempts, recorded instead of slept, with what the window showed meanwhile.
struct Wait {
  uint32_t ms;
  std::wstring status;
  double fraction;
};
std::vector<Wait> waits;
void recorded_sleep(uint32_t ms) {
  waits.push_back({ms, ui_trace.last_status, ui_trace.last_fraction});
  pump_events();
}

std::wstring reconnect_text(int attempt) {
  return L"网络连接中断，正在重新连接（第 " + std::to_wstring(attempt) + L" 次，共 5 次）...";
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running()) << "the loopback HTTPS server did not start";
    ui_trace = UiTrace();
    waits.clear();
    reconnect_sleep = &recorded_sleep;
  }
  void TearDown() override {
    reconnect_sleep = &sleep_with_events;
    reconnect_waits_ms = kSchedule;
  }
  // The requests that /_/resumable answered for `key`: "<status> <Range> <If-Range>".
  std::vector<std::string> log(const std::string& key) { return lines_of(get(server.url("/_/log?key=" + key)).body); }
  const std::vector<uint32_t> kSchedule = reconnect_waits_ms;
  TempDir www;
  TempDir work;
  HttpsServer server{www.path()};
};

}  // namespace

TEST_F(DownloadTest, RequestIdentityAndHandlers) {
  Fetch f = get(server.url("/_/echo"));
  EXPECT_EQ(f.stage, plat::HttpStage::Done);
  EXPECT_EQ(f.status, 200);
  EXPECT_EQ(f.responses, 1);
  EXPECT_EQ(f.length, f.body.size());
  // A plain GET with the installer's name and nothing else of its own.
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = f.body.find("\r\n", start)) != std::string::npos; start = end + 2)
    if (end > start) lines.push_back(f.body.substr(start, end - start));
  for (size_t end; (end = f.body.find('\n', start)) != std::string::npos; start = end + 1)
    if (end > start) lines.push_back(f.body.substr(start, end - start));
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ(lines[0], "GET /_/echo HTTP/1.1");
  std::vector<std::string> names;
  for (size_t i = 1; i < lines.size(); ++i) {
    names.push_back(lines[i].substr(0, lines[i].find(':')));
    if (names.back() == "User-Agent") {
      EXPECT_EQ(lines[i], "User-Agent: Morvell Installer");
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Host", "User-Agent", "Accept"}));

  // A user name and password inside the address are never sent.
  const std::string with_credentials = "https://alice:secret@" + server.base_url().substr(8) + "/_/echo";
  f = get(with_credentials);
  EXPECT_EQ(f.stage, plat::HttpStage::Done);
  EXPECT_EQ(f.body.find("Authorization"), std::string::npos) << f.body;
  EXPECT_EQ(f.body.find("alice"), std::string::npos) << f.body;
  EXPECT_EQ(f.body.substr(0, f.body.find("\r\n")), "GET /_/echo HTTP/1.1");
  f = get(server.url("/_/redirect-abs?to=" + encoded(with_credentials)));   // nor those a redirect names
  EXPECT_EQ(f.body.find("Authorization"), std::string::npos) << f.body;
  EXPECT_EQ(f.stage, plat::HttpStage::NetworkFailed);   // such a redirect is refused

  // A query that would make the path too long is left off; a shorter one goes out.
  f = get(server.url("/_/echo?q=" + std::string(5000, 'q')));
  EXPECT_EQ(f.body.substr(0, f.body.find("\r\n")), "GET /_/echo HTTP/1.1");
  f = get(server.url("/_/echo?q=short"));
  EXPECT_EQ(f.body.substr(0, f.body.find("\r\n")), "GET /_/echo?q=short HTTP/1.1");

  // on_response can stop the transfer before any of the body is taken.
  f = get(server.url("/_/bytes?size=100000"), false);
  EXPECT_EQ(f.stage, plat::HttpStage::Aborted);
  EXPECT_EQ(f.status, 200);
  EXPECT_EQ(f.length, 100000u);
  EXPECT_TRUE(f.body.empty());

  // The idle handler runs while a slow answer trickles in.
  f = get(server.url("/_/slow?size=8000&chunk=1000&delay=60"));
  EXPECT_EQ(f.stage, plat::HttpStage::Done);
  EXPECT_EQ(f.body, pattern(8000));
  EXPECT_GE(f.idles, 4u);

  // Content-Length that does not fit 32 bits reads as unknown; a cut body is a data failure.
  f = get(server.url("/_/huge-length?size=1000"));
  EXPECT_EQ(f.length, 0u);
  EXPECT_EQ(f.stage, plat::HttpStage::DataFailed);
}

TEST_F(DownloadTest, FileWithLengthShowsSizesAndEndsAtFiftyThreeHundredths) {
  const size_t size = 300000;
  std::string path = work / "pkg.zip";
  {
    ClockGuard clock(&frozen_clock);   // no time passes: the first and the final update only
    Result r = to_file(server.url("/_/bytes?size=300000"), path);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.error, L"untouched");
    EXPECT_EQ(read_text(path), pattern(size));
    EXPECT_EQ(ui_trace.progress_updates, 2u);
    EXPECT_EQ(ui_trace.last_status, length_text(size, size));
    EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.53);
    EXPECT_EQ(ui_trace.pulses, 0u);
  }
  {
    ui_trace = UiTrace();
    ClockGuard clock(&racing_clock);   // every piece is due
    Result r = to_file(server.url("/_/slow?size=40000&chunk=10000&delay=30"), path);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(read_text(path), pattern(40000));
    EXPECT_GE(ui_trace.progress_updates, 4u);
    EXPECT_EQ(ui_trace.last_status, length_text(40000, 40000));
    EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.53);
  }
}

TEST_F(DownloadTest, RedirectsAreFollowedButNeverDownToPlainHttp) {
  std::string path = work / "r.bin";
  // Relative redirects on the same server, of every following kind, in a chain.
  std::string target = "/_/bytes?size=5000";
  for (const char* status : {"301", "302", "303", "307", "308"})
    target = "/_/redirect?status=" + std::string(status) + "&to=" + encoded(target);
  Result r = to_file(server.url(target), path);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(read_text(path), pattern(5000));

  // Plain http up to https is followed.
  std::string body = "stale";
  r = to_memory(server.plain_url("/_/redirect-abs?to=" + encoded(server.url("/_/bytes?size=300"))), body);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(body, pattern(300));

  // https down to http is refused before the plain server is asked anything.
  std::string plain_target = server.plain_url("/_/bytes?size=10");
  r = to_file(server.url("/_/redirect-abs?to=" + encoded(plain_target)), work / "down.bin");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kRequestFailed);
  EXPECT_FALSE(exists(work / "down.bin"));
  // Also in the middle of a chain that started on plain http.
  std::string via_https = server.url("/_/redirect-abs?to=" + encoded(plain_target));
  r = to_memory(server.plain_url("/_/redirect-abs?to=" + encoded(via_https)), body);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kRequestFailed);
  Fetch count = get(server.plain_url("/_/count"));
  EXPECT_EQ(count.body, "2") << "only the two requests that began on plain http reached the plain server";

  // A redirect loop ends.
  r = to_memory(server.url("/_/loop"), body);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kRequestFailed);
}

TEST_F(DownloadTest, StatusCodes) {
  std::string path = work / "s.bin";
  write_text(path, "old content");
  Result r = to_file(server.url("/_/status/204"), path);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(exists(path));
  EXPECT_EQ(read_text(path), "");
  std::string body = "old";
  r = to_memory(server.url("/_/status/204"), body);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(body, "");

  for (const char* code : {"304", "404", "500"}) {
    std::string fresh = work / (std::string("s") + code + ".bin");
    r = to_file(server.url(std::string("/_/status/") + code), fresh);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, L"服务器返回 HTTP " + W(code));
    EXPECT_FALSE(exists(fresh)) << "no file is made for a refused answer";
    r = to_memory(server.url(std::string("/_/status/") + code), body);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, L"服务器返回 HTTP " + W(code));
  }
  r = to_file(server.url("/no/such/file.zip"), path);
  EXPECT_EQ(r.error, L"服务器返回 HTTP 404");

  // With a log, one line per request: the address without its credentials, status, length, time.
  const std::string log = work / "requests.log";
  ASSERT_TRUE(open_log(plat::utf8_to_wide(log)));
  const std::string host = server.base_url().substr(8);
  r = to_memory("https://fleet:s3cret@" + host + "/_/bytes?size=1000", body);
  EXPECT_TRUE(r.ok);
  r = to_file("https://fleet:s3cret@" + host + "/_/status/404", path);
  EXPECT_FALSE(r.ok);
  r = to_memory("https://127.0.0.1:1/unused", body);   // nothing listens there
  EXPECT_FALSE(r.ok);
  close_log();
  const std::string text = read_text(log);
  EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
  EXPECT_EQ(text.find("fleet"), std::string::npos) << text;
  const std::vector<std::string> events = log_events(text);
  ASSERT_EQ(events.size(), 3u) << text;
  EXPECT_EQ(events[0].rfind("HTTP GET https://" + host + "/_/bytes?size=1000：完成，状态 200，长度 1000 字节，收到 1000 字节，用时 ", 0), 0u) << events[0];
  EXPECT_EQ(events[1].rfind("HTTP GET https://" + host + "/_/status/404：未完成（Aborted），状态 404，", 0), 0u) << events[1];
  EXPECT_EQ(events[2].rfind("HTTP GET https://127.0.0.1:1/unused：未完成（NetworkFailed），状态 0，", 0), 0u) << events[2];
  EXPECT_EQ(url_without_credentials("https://a@b@host:1/x@y?u=v@w"), "https://host:1/x@y?u=v@w");
  EXPECT_EQ(url_without_credentials("https://host/path@x"), "https://host/path@x");
  EXPECT_EQ(url_without_credentials("host@name"), "name");
}

TEST_F(DownloadTest, UnknownLengthsShowTheDownloadedSoFarForm) {
  std::string path = work / "n.bin";
  ClockGuard clock(&racing_clock);
  Result r = to_file(server.url("/_/no-length?size=200000"), path);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(read_text(path), pattern(200000));
  EXPECT_EQ(ui_trace.last_status, L"正在下载安装包... 已下载 " + format_byte_size(200000));
  EXPECT_GE(ui_trace.pulses, 1u);
  EXPECT_EQ(ui_trace.progress_updates, 0u);

  // Content-Length 0: an empty file and nothing to show.
  ui_trace = UiTrace();
  write_text(path, "old");
  r = to_file(server.url("/_/zero-length"), path);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(read_text(path), "");
  EXPECT_EQ(ui_trace.pulses + ui_trace.progress_updates, 0u);

  // A length beyond 32 bits counts as unknown (and this body then breaks off).
  ui_trace = UiTrace();
  r = to_file(server.url("/_/huge-length?size=70000"), path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kDownloadDataFailed);
  EXPECT_EQ(ui_trace.last_status.rfind(L"正在下载安装包... 已下载 ", 0), 0u);
  EXPECT_EQ(ui_trace.progress_updates, 0u);
}

TEST_F(DownloadTest, BrokenBodiesAndUnusableAddresses) {
  std::string path = work / "cut.bin";
  Result r = to_file(server.url("/_/cut?length=100000&send=30000"), path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kDownloadDataFailed);
  ASSERT_TRUE(exists(path)) << "the partial file stays for the caller";
  EXPECT_EQ(read_text(path), pattern(30000));
  std::string body;
  r = to_memory(server.url("/_/cut?length=1000&send=0"), body);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kDownloadDataFailed);

  for (const std::string& url :
       {std::string(), std::string("packages/Morvell.zip"), std::string("ftp://127.0.0.1/x.zip"),
        std::string("https://") + std::string(600, 'a') + "/x.zip",
        server.url("/" + std::string(4100, 'p')), std::string("https:///x.zip"), std::string("https://")}) {
    r = to_file(url, work / "never.bin");
    EXPECT_FALSE(r.ok) << url;
    EXPECT_EQ(r.error, kBadAddress) << url;
  }
  EXPECT_FALSE(exists(work / "never.bin"));

  // Nobody listening.
  r = to_memory("https://127.0.0.1:1/x.json", body);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kRequestFailed);
}

TEST_F(DownloadTest, OnlyTrustedCertificatesAreAccepted) {
  TempDir other_dir;
  TestCertificates other;
  ASSERT_TRUE(make_test_certificates(other_dir.path(), other));
  std::string path = work / "t.bin";
  std::string body;

  setenv("SSL_CERT_FILE", other.ca.c_str(), 1);   // an authority that did not sign this server
  Result r = to_file(server.url("/_/bytes?size=10"), path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kRequestFailed);
  EXPECT_FALSE(exists(path));

  unsetenv("SSL_CERT_FILE");   // the system's own store does not know the test authority
  r = to_memory(server.url("/_/bytes?size=10"), body);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kRequestFailed);

  // A directory store in the OpenSSL layout works too.
  TempDir store;
  std::string hash = capture_shell("openssl x509 -noout -hash -in '" + server.ca_file() + "'");
  hash = hash.substr(0, hash.find('\n'));
  ASSERT_EQ(run_shell("cp '" + server.ca_file() + "' '" + store / (hash + ".0") + "'"), 0);
  setenv("SSL_CERT_DIR", store.path().c_str(), 1);
  r = to_memory(server.url("/_/bytes?size=10"), body);
  unsetenv("SSL_CERT_DIR");
  EXPECT_TRUE(r.ok) << U(r.error);
  EXPECT_EQ(body, pattern(10));

  setenv("SSL_CERT_FILE", server.ca_file().c_str(), 1);
  r = to_memory(server.url("/_/bytes?size=10"), body);
  EXPECT_TRUE(r.ok);

  // A certificate from the trusted authority, but issued for another host: refused before any
  // byte of the body is taken, and no file is made.
  HttpsServer elsewhere(www.path(), 0, "DNS:example.invalid");
  ASSERT_TRUE(elsewhere.running());
  ASSERT_EQ(plat::environment_value("SSL_CERT_FILE"), elsewhere.ca_file());
  r = to_file(elsewhere.url("/_/bytes?size=10"), path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kRequestFailed);
  EXPECT_FALSE(exists(path));
  body = "before";
  r = to_memory(elsewhere.url("/_/bytes?size=10"), body);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kRequestFailed);
  EXPECT_TRUE(body.empty() || body == "before");
}

TEST_F(DownloadTest, DestinationFilesAndMemoryBuffers) {
  // A missing folder chain is made; an existing longer file is cut to the new body.
  std::string deep = work / "a/b/c/pkg.zip";
  Result r = to_file(server.url("/_/bytes?size=1000"), deep);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(read_text(deep), pattern(1000));
  write_text(work / "old.zip", std::string(50000, 'x'));
  r = to_file(server.url("/_/bytes?size=700"), work / "old.zip");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(read_text(work / "old.zip"), pattern(700));

  // Names with spaces and other letters travel percent-encoded.
  write_text(www / "pkgs/Morvell 6.1 版.zip", "named package");
  r = to_file(server.url("/pkgs/Morvell 6.1 版.zip"), work / "named.zip");
  EXPECT_TRUE(r.ok) << U(r.error);
  EXPECT_EQ(read_text(work / "named.zip"), "named package");

  // Files served from the directory.
  write_text(www / "updates/releases.json", "{\"releases\": []}");
  ui_trace = UiTrace();
  std::string body = "left over from before";
  r = to_memory(server.url("/updates/releases.json"), body);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(body, "{\"releases\": []}");
  EXPECT_EQ(ui_trace.pulses + ui_trace.progress_updates, 0u) << "memory fetches show no progress";

  // A body read and dropped still succeeds.
  std::wstring error;
  EXPECT_TRUE(http_download(server.url("/_/bytes?size=100"), nullptr, std::wstring(), error));

  // A document without end stops at 64 MiB instead of taking all memory.
  body = "x";
  r = to_memory(server.url("/_/endless"), body);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kDownloadDataFailed);
  EXPECT_LE(body.size(), 64u * 1024u * 1024u);
  EXPECT_GT(body.size(), 60u * 1024u * 1024u);

  // The file cannot be made, or cannot take the bytes.
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "create_for_writing"; });
  r = to_file(server.url("/_/bytes?size=10"), work / "denied.bin");
  plat::set_fault_hook(nullptr);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kCannotCreateDownload);
  // A device is never opened, so it is a file that cannot be made.
  if (exists("/dev/full")) {
    r = to_file(server.url("/_/bytes?size=10"), "/dev/full");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, kCannotCreateDownload);
  }
  // A file that may grow to 5 bytes only takes the first bytes and refuses the rest.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 5;
  void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  r = to_file(server.url("/_/bytes?size=10"), work / "too-big.bin");
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kCannotWriteDownload);
}

// The two 30-second limits: a server that goes quiet mid-body, and one that never answers.
TEST_F(DownloadTest, SilentServerTimesOutWhileTheWindowStaysLive) {
  std::string path = work / "stall.bin";
  reconnect_waits_ms = {};   // no further attempt
  Result r = to_file(server.url("/_/stall?length=100000&send=1000&seconds=90"), path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kCannotReadAnswer);
  EXPECT_EQ(read_text(path), pattern(1000));
  EXPECT_TRUE(waits.empty());

  // A stall past the time-out is a lost connection too: the rest is asked for.
  reconnect_waits_ms = kSchedule;
  r = to_file(server.url("/_/resumable?key=stall&length=100000&cuts=1000&times=1&stall=90"), path);
  EXPECT_TRUE(r.ok) << U(r.error);
  EXPECT_EQ(read_text(path), pattern(100000));
  EXPECT_EQ(log("stall"), (std::vector<std::string>{"200 - -", "206 bytes=1000- \"v1\""}));
}

TEST_F(DownloadTest, ServerThatNeverAnswersTimesOut) {
  Fetch f = get(server.url("/_/stall-head?seconds=90"));
  EXPECT_EQ(f.stage, plat::HttpStage::NetworkFailed);
  EXPECT_EQ(f.responses, 0);
  EXPECT_GE(f.idles, 150u) << "the idle handler runs throughout the wait";
}

TEST_F(DownloadTest, BrokenDownloadsGoOnWhereTheyStopped) {
  EXPECT_EQ(kSchedule, (std::vector<uint32_t>{1000, 2000, 4000, 8000, 16000}));
  const size_t size = 1000000;
  const std::string whole = pattern(size);
  write_text(work / "expected.bin", whole);
  std::string expected_digest;
  ASSERT_TRUE(sha256_file_hex(W(work / "expected.bin"), expected_digest));
  const std::string path = work / "pkg.zip";

  // Cut after 30, 60 and 90 percent: three ranged requests, each held to the first answer's
  // ETag; the bar keeps its place while the status says which reconnection this is.
  Result r = to_file(server.url("/_/resumable?key=thirds&length=1000000&cuts=300000,600000,900000"), path);
  EXPECT_TRUE(r.ok) << U(r.error);
  EXPECT_EQ(log("thirds"), (std::vector<std::string>{"200 - -", "206 bytes=300000- \"v1\"",
                                                     "206 bytes=600000- \"v1\"", "206 bytes=900000- \"v1\""}));
  ASSERT_EQ(waits.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(waits[i].ms, 1000u << i);
    EXPECT_EQ(waits[i].status, reconnect_text(i + 1));
    EXPECT_DOUBLE_EQ(waits[i].fraction, 0.08 + 0.45 * 0.3 * (i + 1));
  }
  EXPECT_EQ(ui_trace.last_status, length_text(size, size));
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 0.53);
  std::string digest;
  ASSERT_TRUE(sha256_file_hex(W(path), digest));
  EXPECT_EQ(digest, expected_digest);

  // Without an ETag the Last-Modified date keeps the version; through redirects every time.
  waits.clear();
  std::string target = "/_/resumable?key=dated&length=1000000&cuts=500000&validator=date";
  r = to_file(server.url("/_/redirect?status=307&to=" + encoded(target)), path);
  EXPECT_TRUE(r.ok) << U(r.error);
  EXPECT_EQ(read_text(path), whole);
  EXPECT_EQ(log("dated"), (std::vector<std::string>{"200 - -", "206 bytes=500000- Tue, 01 Dec 2026 10:00:00 GMT"}));
  EXPECT_EQ(waits.size(), 1u);

  // A server that ignores Range sends the whole file again: it is written from the start.
  r = to_file(server.url("/_/resumable?key=ignoring&length=1000000&cuts=700000&times=1&ignore-range=1"), path);
  EXPECT_TRUE(r.ok) << U(r.error);
  EXPECT_EQ(read_text(path), whole);
  EXPECT_EQ(log("ignoring"), (std::vector<std::string>{"200 - -", "200 bytes=700000- \"v1\""}));

  // A file that changed on the server (another ETag) comes whole, also from the start.
  r = to_file(server.url("/_/resumable?key=changed&length=1000000&cuts=400000&times=1&changing=1"), path);
  EXPECT_TRUE(r.ok) << U(r.error);
  EXPECT_EQ(read_text(path), whole);
  EXPECT_EQ(log("changed"), (std::vector<std::string>{"200 - -", "200 bytes=400000- \"v1\""}));

  // A weak ETag cannot keep the version of a range: the date does. A part that says it is of
  // another version is not used even when it starts at the right place.
  r = to_file(server.url("/_/resumable?key=weak&length=1000000&cuts=400000&times=1&validator=weak"), path);
  EXPECT_TRUE(r.ok) << U(r.error);
  EXPECT_EQ(log("weak"), (std::vector<std::string>{"200 - -", "206 bytes=400000- Tue, 01 Dec 2026 10:00:00 GMT"}));
  r = to_file(server.url("/_/resumable?key=other&length=1000000&cuts=400000&times=1&changing=1&ignore-if-range=1"), path);
  EXPECT_TRUE(r.ok) << U(r.error);
  EXPECT_EQ(read_text(path), whole);
  EXPECT_EQ(log("other"), (std::vector<std::string>{"200 - -", "206 bytes=400000- \"v1\"", "200 - -"}));

  // A part that does not begin where the file stopped is not used: the file starts over.
  r = to_file(server.url("/_/resumable?key=skewed&length=1000000&cuts=400000&times=1&wrong-start=1"), path);
  EXPECT_TRUE(r.ok) << U(r.error);
  EXPECT_EQ(read_text(path), whole);
  EXPECT_EQ(log("skewed"), (std::vector<std::string>{"200 - -", "206 bytes=400000- \"v1\"", "200 - -"}));

  // Documents in memory are not resumed, nor files of unknown length.
  waits.clear();
  std::string body;
  r = to_memory(server.url("/_/resumable?key=memory&length=100000&cuts=50000"), body);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kDownloadDataFailed);
  EXPECT_EQ(log("memory").size(), 1u);
  r = to_file(server.url("/_/no-length?size=1000"), path);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(waits.empty());
}

TEST_F(DownloadTest, SixCutsEndTheDownloadAfterFiveMoreAttempts) {
  const std::string path = work / "pkg.zip";
  Result r = to_file(server.url("/_/resumable?key=six&length=600000&cuts=100000,200000,300000,400000,500000,550000"), path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kDownloadDataFailed);
  EXPECT_EQ(log("six").size(), 6u);
  ASSERT_EQ(waits.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(waits[i].ms, 1000u << i);
    EXPECT_EQ(waits[i].status, reconnect_text(i + 1));
  }
  // The partial file is the only thing made, and it stays for the caller to remove.
  EXPECT_EQ(read_text(path), pattern(550000));
  EXPECT_EQ(capture_shell("ls -A '" + work.path() + "'"), "pkg.zip\n");

  // Every attempt keeps to https: a further attempt sent down to plain http is refused each time,
  // and the plain server is never asked.
  std::string down = encoded(server.plain_url("/_/bytes?size=600000"));
  r = to_file(server.url("/_/resumable?key=down&length=600000&cuts=100000&then=" + down), path);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kRequestFailed);
  std::vector<std::string> expected(6, "302 bytes=100000- \"v1\"");
  expected[0] = "200 - -";
  EXPECT_EQ(log("down"), expected);
  EXPECT_EQ(get(server.plain_url("/_/count")).body, "0");

  // The real wait keeps the window live and takes its time.
  reconnect_sleep = &sleep_with_events;
  reconnect_waits_ms = {150};
  ui_trace = UiTrace();
  uint32_t start = plat::tick_ms();
  r = to_file(server.url("/_/resumable?key=live&length=600000&cuts=100000,200000"), path);
  EXPECT_FALSE(r.ok);
  EXPECT_GE(plat::tick_ms() - start, 150u);
  EXPECT_GE(ui_trace.pumps, 7u);
  EXPECT_EQ(log("live").size(), 2u);
}

TEST(DownloadRanges, ContentRangeValues) {
  uint64_t first = 9, length = 9;
  EXPECT_TRUE(parse_content_range("bytes 300-999/1000", first, length));
  EXPECT_EQ(first, 300u);
  EXPECT_EQ(length, 1000u);
  EXPECT_TRUE(parse_content_range("Bytes 0-0/1", first, length));
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(length, 1u);
  for (const char* bad : {"", "bytes", "bytes */1000", "bytes 300-999/*", "bytes 999-300/1000", "bytes 0-1000/1000",
                          "items 0-1/2", "bytes 0-1/2 ", "bytes -1/2", "bytes 0-1/99999999999999999999999"})
    EXPECT_FALSE(parse_content_range(bad, first, length)) << bad;
}
