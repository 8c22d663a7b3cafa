// WinHTTP against a real server on 127.0.0.1: bodies, statuses, lengths, redirects, the URL
// rules, and the failure stages.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>

#include "platform/platform.h"
#include "support/helpers.h"
#include "support/loopback_server.h"
#include "support/test_authority.h"

using namespace testing_support;

namespace {

LoopbackResponse answer(const std::string& path) {
  LoopbackResponse r;
  if (path == "/ok") {
    r.body = "hello";
  } else if (path == "/big") {
    r.body.assign(300000, 'b');
  } else if (path == "/no-length") {
    r.body = "streamed until close";
    r.content_length = false;
  } else if (path == "/missing") {
    r.status = 404;
    r.body = "nope";
  } else if (path == "/empty") {
    r.status = 204;
  } else if (path == "/stall") {
    Sleep(500);   // a line that stalls before the answer comes
    r.body = "late";
  } else if (path == "/moved") {
    r.status = 302;
    r.headers = "Location: /ok\r\n";
  } else {
    r.body = "path=" + path;
  }
  return r;
}

struct Result {
  plat::HttpStage stage = plat::HttpStage::Done;
  long status = -1;
  uint32_t length = 0xFFFFFFFF;
  std::string body;
  int idles = 0;
  int idles_before_response = 0;
};

Result get(const std::string& url, bool accept = true) {
  Result r;
  plat::HttpHandlers handlers;
  handlers.on_response = [&](long status, uint32_t length) {
    r.status = status;
    r.length = length;
    r.idles_before_response = r.idles;
    return accept;
  };
  handlers.on_data = [&](const char* data, size_t size) {
    r.body.append(data, size);
    return true;
  };
  handlers.on_idle = [&] { ++r.idles; };
  r.stage = plat::http_get(url, handlers);
  return r;
}

}  // namespace

TEST(Win32Http, BodiesStatusesAndLengths) {
  LoopbackServer server(answer);
  ASSERT_NE(server.port(), 0);
  Result ok = get(server.url("/ok"));
  EXPECT_EQ(ok.stage, plat::HttpStage::Done);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.length, 5u);
  EXPECT_EQ(ok.body, "hello");
  EXPECT_GT(ok.idles, 0);
  // The request carries the installer's identity and nothing unusual.
  std::string request = server.last_request();
  EXPECT_EQ(request.compare(0, 13, "GET /ok HTTP/"), 0) << request;
  EXPECT_NE(request.find("User-Agent: Morvell Installer\r\n"), std::string::npos) << request;

  Result big = get(server.url("/big"));
  EXPECT_EQ(big.stage, plat::HttpStage::Done);
  EXPECT_EQ(big.length, 300000u);
  EXPECT_EQ(big.body, std::string(300000, 'b'));

  Result streamed = get(server.url("/no-length"));
  EXPECT_EQ(streamed.stage, plat::HttpStage::Done);
  EXPECT_EQ(streamed.length, 0u);
  EXPECT_EQ(streamed.body, "streamed until close");

  Result missing = get(server.url("/missing"));
  EXPECT_EQ(missing.stage, plat::HttpStage::Done);   // the caller judges the status
  EXPECT_EQ(missing.status, 404);

  Result empty = get(server.url("/empty"));
  EXPECT_EQ(empty.stage, plat::HttpStage::Done);
  EXPECT_EQ(empty.status, 204);
  EXPECT_EQ(empty.body, "");

  // While the line stalls the caller still gets its turns, at least one every 100 ms.
  Result stalled = get(server.url("/stall"));
  EXPECT_EQ(stalled.body, "late");
  EXPECT_GE(stalled.idles_before_response, 5);

  Result moved = get(server.url("/moved"));
  EXPECT_EQ(moved.stage, plat::HttpStage::Done);
  EXPECT_EQ(moved.status, 200);
  EXPECT_EQ(moved.body, "hello");

  Result refused = get(server.url("/ok"), false);
  EXPECT_EQ(refused.stage, plat::HttpStage::Aborted);
  EXPECT_EQ(refused.body, "");
}

TEST(Win32Http, QueryRuleAndBadAddresses) {
  LoopbackServer server(answer);
  Result query = get(server.url("/echo?version=6.1.17&x=1"));
  EXPECT_EQ(query.body, "path=/echo?version=6.1.17&x=1");
  // A query that would make the path longer than 4094 units is left off.
  std::string long_query = "?" + std::string(4100, 'q');
  Result cut = get(server.url("/echo" + long_query));
  EXPECT_EQ(cut.stage, plat::HttpStage::Done);
  EXPECT_EQ(cut.body, "path=/echo");

  EXPECT_EQ(get("").stage, plat::HttpStage::BadUrl);
  EXPECT_EQ(get("not a url").stage, plat::HttpStage::BadUrl);
  EXPECT_EQ(get("ftp://127.0.0.1/x").stage, plat::HttpStage::BadUrl);
  EXPECT_EQ(get("http://" + std::string(600, 'h') + "/x").stage, plat::HttpStage::BadUrl);
  EXPECT_EQ(get("http://127.0.0.1/" + std::string(4100, 'p')).stage, plat::HttpStage::BadUrl);
}

TEST(Win32Http, NothingListening) {
  int port = 0;
  {
    LoopbackServer gone(answer);
    port = gone.port();
  }
  Result r = get("http://127.0.0.1:" + std::to_string(port) + "/ok");
  EXPECT_EQ(r.stage, plat::HttpStage::NetworkFailed);
  EXPECT_EQ(r.status, -1);   // no response was ever seen
}


TEST(Win32Https, VerifiedAgainstTheRootStore) {
  const char* port = std::getenv("MORVELL_TEST_HTTPS_PORT");
  const char* rogue = std::getenv("MORVELL_TEST_ROGUE_PORT");
  if (!port || !*port || !rogue || !*rogue) GTEST_SKIP() << "no loopback HTTPS server (scripts/test-windows starts one)";
  ASSERT_TRUE(trust_test_authority());
  // By name: Wine checks the certificate's DNS names only, not its IP addresses.
  std::string base = std::string("https://localhost:") + port;
  Result ok = get(base + "/ok");
  EXPECT_EQ(ok.stage, plat::HttpStage::Done);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "secure hello");

  // A redirect from https down to plain http is not followed.
  Result down = get(base + "/to-http");
  EXPECT_NE(down.body, "secure hello");
  EXPECT_TRUE(down.stage != plat::HttpStage::Done || down.status == 302) << static_cast<int>(down.stage);

  // A certificate that no trusted authority signed fails the request before any response.
  Result untrusted = get(std::string("https://localhost:") + rogue + "/ok");
  EXPECT_EQ(untrusted.stage, plat::HttpStage::NetworkFailed);
  EXPECT_EQ(untrusted.status, -1);
  // The same server under plain http: no TLS spoken, so no usable answer either.
  Result plain = get(std::string("http://localhost:") + port + "/ok");
  EXPECT_NE(plain.body, "secure hello");
}
