// Signed release lists end to end: keys and signatures made by the real morvell-sign, lists
// served by the loopback HTTPS server, the catalogue loaded with keys in place of compiled-in ones.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "catalogue/download.h"
#include "catalogue/messages.h"
#include "catalogue/release_signature.h"
#include "support/build_paths.h"
#include "support/manifest_fixture.h"

using namespace testing_support;

namespace {

const std::string kSign = kBuild + "/morvell-sign";

// The public line of a new key pair made by the tool in `dir` as NAME.pem and NAME.pub.
std::string make_key(const TempDir& dir, const std::string& name) {
  std::string line = capture_shell("'" + kSign + "' keygen --private '" + dir / (name + ".pem") + "' --public-out '" +
                                   dir / (name + ".pub") + "'");
  while (!line.empty() && line.back() == '\n') line.pop_back();
  EXPECT_EQ(line + "\n", read_text(dir / (name + ".pub")));
  return line;
}

class SignedListTest : public ManifestTest {
 protected:
  void SetUp() override {
    ManifestTest::SetUp();
    key_a = make_key(keys, "a");
    key_b = make_key(keys, "b");
    use_keys(key_a);
  }
  void TearDown() override { replace_release_keys(nullptr); }
  void use_keys(const std::string& setting) {
    setting_ = setting;
    replace_release_keys(&setting_);
  }
  // Serves the document and its signature by key NAME.
  void serve_signed(const char* name, const std::string& content, const std::string& key = "a") {
    serve(name, content);
    ASSERT_EQ(run_shell("'" + kSign + "' sign --private '" + keys / (key + ".pem") + "' '" + www / "updates/" + name +
                        "' >/dev/null"), 0);
  }
  std::string count() {
    std::string body;
    std::wstring error;
    EXPECT_TRUE(http_download(server.url("/_/count"), &body, std::wstring(), error));
    return body;
  }

  TempDir keys;
  std::string key_a, key_b;

 private:
  std::string setting_;
};

}  // namespace

TEST_F(SignedListTest, OnlyGoodSignaturesByTheCompiledInKeysCount) {
  std::wstring error;
  const std::string primary = releases({entry("2.0", ""), entry("1.9", "")});
  const std::string fallback = entry("5.0", "");
  serve_signed("releases.json", primary);
  serve_signed("latest-portable.json", fallback);
  EXPECT_TRUE(load(error));
  EXPECT_EQ(error, L"");
  EXPECT_EQ(versions(), (std::vector<std::string>{"2.0", "1.9"}));

  // A list changed after signing is not used; the fallback is tried under the same rule.
  serve("releases.json", primary + " ");
  EXPECT_TRUE(load(error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"5.0"}));
  serve("latest-portable.json", entry("5.1", ""));
  error.clear();
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, kBadListSignatureText);
  EXPECT_TRUE(release_catalogue.entries.empty());

  // A missing signature, one that is not base64, one by another key.
  serve_signed("releases.json", primary);
  serve_signed("latest-portable.json", fallback);
  withdraw("releases.json.sig");
  EXPECT_TRUE(load(error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"5.0"}));
  withdraw("latest-portable.json.sig");
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, kBadListSignatureText);
  serve("latest-portable.json.sig", "<html>Not here</html>");
  error.clear();
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, kBadListSignatureText);
  serve_signed("releases.json", primary, "b");
  serve_signed("latest-portable.json", fallback, "b");
  error.clear();
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, kBadListSignatureText);

  // Key rotation: the build trusts both keys, the lists are signed by the second.
  use_keys(key_a + ";" + key_b);
  EXPECT_TRUE(load(error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"2.0", "1.9"}));
  use_keys(key_b);
  EXPECT_TRUE(load(error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"2.0", "1.9"}));

  // A build without keys never asks for a signature: a broken one changes nothing.
  use_keys("");
  serve("releases.json", primary + " ");
  serve("releases.json.sig", "broken");
  const std::string before = count();
  EXPECT_TRUE(load(error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"2.0", "1.9"}));
  EXPECT_EQ(std::stoi(count()), std::stoi(before) + 2) << "one request for the list, none for its signature";
}

TEST_F(SignedListTest, ExpiredListsAreRefusedOnlyWithKeys) {
  std::wstring error;
  auto listed = [](const std::string& expires, const std::string& version) {
    return "{\"expires\": \"" + expires + "\", \"releases\": [" + entry(version, "") + "]}";
  };
  auto single = [](const std::string& expires, const std::string& version) {
    return "{\"expires\": \"" + expires + "\", \"version\": \"" + version + "\", \"download_url\": \"u/" + version + "\"}";
  };
  serve_signed("releases.json", listed("2999-01-01T00:00:00Z", "2.0"));
  serve_signed("latest-portable.json", single("2999-01-01T00:00:00Z", "5.0"));
  EXPECT_TRUE(load(error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"2.0"}));

  serve_signed("releases.json", listed("2020-06-30T00:00:00Z", "2.0"));
  EXPECT_TRUE(load(error));
  EXPECT_EQ(error, L"");
  EXPECT_EQ(versions(), (std::vector<std::string>{"5.0"})) << "an expired list leads to the fallback";
  serve_signed("latest-portable.json", single("2020-06-30T00:00:00Z", "5.0"));
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, kListExpired);
  EXPECT_TRUE(release_catalogue.entries.empty());
  serve_signed("latest-portable.json", single("whenever", "5.0"));
  error.clear();
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, kListExpired);

  // Without keys nothing expires.
  use_keys("");
  EXPECT_TRUE(load(error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"2.0"}));
}

TEST(SignTool, KeysAreNeverOverwrittenNorPrintedAndSignaturesAreOpensslCompatible) {
  TempDir dir;
  const std::string sign = "'" + kSign + "' ";
  const std::string out = dir / "out.txt";
  ASSERT_EQ(run_shell(sign + "keygen --private '" + dir / "k.pem" + "' --public-out '" + dir / "k.pub" + "' >'" + out +
                      "' 2>&1"), 0);
  const std::string pem = read_text(dir / "k.pem");
  const std::string line = read_text(dir / "k.pub");
  EXPECT_NE(pem.find("PRIVATE KEY"), std::string::npos);
  EXPECT_EQ(read_text(out), line) << "the public line, and nothing of the private key";
  struct stat st;
  ASSERT_EQ(stat((dir / "k.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // An existing private key stays as it was; so does an existing public file, and no key is left.
  EXPECT_NE(run_shell(sign + "keygen --private '" + dir / "k.pem" + "' --public-out '" + dir / "k2.pub" + "' >'" + out +
                      "' 2>&1"), 0);
  EXPECT_EQ(read_text(dir / "k.pem"), pem);
  EXPECT_FALSE(exists(dir / "k2.pub"));
  EXPECT_NE(read_text(out).find("never overwritten"), std::string::npos);
  EXPECT_NE(run_shell(sign + "keygen --private '" + dir / "k3.pem" + "' --public-out '" + dir / "k.pub" + "' 2>/dev/null"), 0);
  EXPECT_FALSE(exists(dir / "k3.pem"));
  EXPECT_EQ(read_text(dir / "k.pub"), line);

  // The tool's signature checks out with openssl, and openssl's with the tool.
  write_text(dir / "list.json", "{\"releases\": []}\n");
  ASSERT_EQ(run_shell(sign + "sign --private '" + dir / "k.pem" + "' '" + dir / "list.json" + "' >'" + out + "' 2>&1"), 0);
  EXPECT_EQ(read_text(out).find("PRIVATE"), std::string::npos);
  const std::string d = "cd '" + dir.path() + "' && ";
  EXPECT_EQ(run_shell(d + "openssl pkey -in k.pem -pubout -out pub.pem && base64 -d list.json.sig >sig.der && "
                          "openssl dgst -sha256 -verify pub.pem -signature sig.der list.json >/dev/null"), 0);
  const std::string verify = sign + "verify --public '" + line.substr(0, line.size() - 1) + "' '" + dir / "list.json" + "'";
  EXPECT_EQ(run_shell(verify + " >/dev/null"), 0);
  ASSERT_EQ(run_shell(d + "openssl dgst -sha256 -sign k.pem list.json | base64 >list.json.sig"), 0);
  EXPECT_EQ(run_shell(verify + " >/dev/null"), 0);
  write_text(dir / "list.json", "{\"releases\": [] }\n");
  EXPECT_EQ(run_shell(verify + " 2>/dev/null"), 1) << "exit 1 for a list changed after signing";
  EXPECT_EQ(run_shell(sign + "sign --private '" + dir / "list.json" + "' '" + dir / "list.json" + "' 2>/dev/null"), 1);
  EXPECT_EQ(run_shell(sign + "frobnicate 2>/dev/null"), 2);
}
