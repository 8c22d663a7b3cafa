// The signature check of release lists on each backend, against signatures made by
// `openssl dgst -sha256 -sign` over one document, and the key list and expiry rules around it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/release_signature.h"
#include "common/strings.h"
#include "platform/platform.h"
#include "support/signature_vectors.h"

using namespace testing_support;

namespace {

std::string der(const char* base64) {
  std::string out;
  EXPECT_TRUE(base64_decode(base64, out)) << base64;
  return out;
}

bool verifies(const char* key, const std::string& document, const std::string& signature) {
  return plat::ecdsa_p256_verify(der(key), document, signature);
}

}  // namespace

TEST(ReleaseSignature, KnownAnswersOfTheBackendsVerifier) {
  const std::string document = kDocument;
  EXPECT_TRUE(verifies(kKeyA, document, der(kSignatureA)));
  EXPECT_TRUE(verifies(kKeyA, document, der(kSignatureALongIntegers)));
  EXPECT_TRUE(verifies(kKeyA, document, der(kSignatureAShortR)));
  EXPECT_TRUE(verifies(kKeyB, document, der(kSignatureB)));

  // Another key, another document, a byte changed anywhere.
  EXPECT_FALSE(verifies(kKeyB, document, der(kSignatureA)));
  EXPECT_FALSE(verifies(kKeyA, document, der(kSignatureB)));
  EXPECT_FALSE(verifies(kKeyA, document + " ", der(kSignatureA)));
  EXPECT_FALSE(verifies(kKeyA, document.substr(0, document.size() - 1), der(kSignatureA)));
  std::string changed = document;
  changed[20] ^= 1;
  EXPECT_FALSE(verifies(kKeyA, changed, der(kSignatureA)));
  for (size_t at : {6u, 37u, 60u}) {
    std::string signature = der(kSignatureA);
    signature[at] ^= 0x10;
    EXPECT_FALSE(verifies(kKeyA, document, signature)) << at;
  }
  std::string key = der(kKeyA);
  key[40] ^= 1;
  EXPECT_FALSE(plat::ecdsa_p256_verify(key, document, der(kSignatureA)));

  // Only P-256: a P-384 key with its own good signature, and keys or signatures in other forms.
  EXPECT_FALSE(verifies(kKeyP384, document, der(kSignatureP384)));
  EXPECT_FALSE(plat::ecdsa_p256_verify("", document, der(kSignatureA)));
  EXPECT_FALSE(plat::ecdsa_p256_verify(der(kKeyA).substr(0, 90), document, der(kSignatureA)));
  EXPECT_FALSE(plat::ecdsa_p256_verify(der(kKeyA) + '\0', document, der(kSignatureA)));
  EXPECT_FALSE(verifies(kKeyA, document, ""));
  const std::string good = der(kSignatureA);   // 30 44 02 20 <r> 02 20 <s>
  EXPECT_FALSE(verifies(kKeyA, document, good + '\0')) << "bytes after the signature";
  EXPECT_FALSE(verifies(kKeyA, document, "\x30\x81\x44" + good.substr(2))) << "a length DER writes shorter";
  EXPECT_FALSE(verifies(kKeyA, document, good.substr(4, 32) + good.substr(38, 32))) << "raw r || s";
  std::string padded = std::string("\x30\x45\x02\x21\x00", 5) + good.substr(4);   // r with a needless zero
  EXPECT_FALSE(verifies(kKeyA, document, padded));
}

TEST(ReleaseSignature, KeyListsSignaturesAndExpiry) {
  // The ";" list of the build setting, blanks and line breaks allowed; a damaged key stays a key.
  std::vector<std::string> keys = parse_release_keys(std::string(" ") + kKeyA + " ;\n" + kKeyB + ";;");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0], der(kKeyA));
  EXPECT_EQ(keys[1], der(kKeyB));
  EXPECT_TRUE(parse_release_keys("").empty());
  EXPECT_TRUE(parse_release_keys(" ; ").empty());
  keys = parse_release_keys("not*base64");
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_FALSE(signed_by_any(kDocument, kSignatureA, keys));

  // A rotated key: either key of the list will do; the .sig text may be wrapped over lines.
  keys = parse_release_keys(std::string(kKeyA) + ";" + kKeyB);
  EXPECT_TRUE(signed_by_any(kDocument, kSignatureB, keys));
  EXPECT_TRUE(signed_by_any(kDocument, kSignatureA, keys));
  std::string wrapped = kSignatureB;
  wrapped.insert(76, "\n");
  EXPECT_TRUE(signed_by_any(kDocument, wrapped + "\n", keys));
  EXPECT_FALSE(signed_by_any(kDocument, kSignatureB, parse_release_keys(kKeyA)));
  EXPECT_FALSE(signed_by_any(kDocument, "", keys));
  EXPECT_FALSE(signed_by_any(kDocument, "<html>not found</html>", keys));
  EXPECT_FALSE(signed_by_any(kDocument, kSignatureA, {}));

  int64_t seconds = -1;
  ASSERT_TRUE(parse_utc_time("1970-01-01T00:00:00Z", seconds));
  EXPECT_EQ(seconds, 0);
  ASSERT_TRUE(parse_utc_time("2027-06-30T00:00:00Z", seconds));
  EXPECT_EQ(seconds, 1814313600);
  ASSERT_TRUE(parse_utc_time("2000-02-29T23:59:59Z", seconds));
  EXPECT_EQ(seconds, 951868799);
  for (const char* bad : {"2027-06-30", "2027-06-30T00:00:00", "2027-06-30 00:00:00Z", "2027-06-30T00:00:00+00:00",
                          "2027-13-01T00:00:00Z", "2027-02-29T00:00:00Z", "2027-06-31T00:00:00Z",
                          "2027-06-30T24:00:00Z", "2027-6-30T00:00:00Z", "２０２７-06-30T00:00:00Z", "1969-12-31T23:59:59Z", ""})
    EXPECT_FALSE(parse_utc_time(bad, seconds)) << bad;

  const int64_t expiry = 1814313600;
  auto with = [](const nlohmann::json& expires) { return nlohmann::json{{"releases", nlohmann::json::array()}, {"expires", expires}}; };
  EXPECT_FALSE(list_expired(with("2027-06-30T00:00:00Z"), expiry - 1));
  EXPECT_TRUE(list_expired(with("2027-06-30T00:00:00Z"), expiry));
  EXPECT_TRUE(list_expired(with("2027-06-30T00:00:00Z"), expiry + 86400));
  EXPECT_TRUE(list_expired(with("next year"), 0)) << "an expiry that cannot be read is taken as past";
  EXPECT_TRUE(list_expired(with(1814313600), 0));
  EXPECT_FALSE(list_expired(nlohmann::json{{"releases", nlohmann::json::array()}}, expiry * 100));
  EXPECT_FALSE(list_expired(nlohmann::json::array({"expires"}), expiry * 100));
  EXPECT_GT(plat::utc_seconds_now(), 1700000000) << "the clock reads the real date";
}
