// POSIX backend: ECDSA P-256 / SHA-256 signature checks through OpenSSL's EVP interface.
// Only a named-curve P-256 key in its one uncompressed form is accepted, as on Windows.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>

#include "platform/platform.h"

namespace plat {

namespace {

// SubjectPublicKeyInfo of a P-256 key up to the point: id-ecPublicKey, prime256v1, BIT STRING.
const unsigned char kP256KeyPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d,
                                        0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01,
                                        0x07, 0x03, 0x42, 0x00, 0x04};
const size_t kP256KeySize = sizeof kP256KeyPrefix + 64;

}  // namespace

bool ecdsa_p256_verify(const std::string& public_key, const std::string& data, const std::string& signature) {
  if (public_key.size() != kP256KeySize ||
      std::memcmp(public_key.data(), kP256KeyPrefix, sizeof kP256KeyPrefix) != 0 || signature.empty())
    return false;
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(public_key.data());
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, static_cast<long>(public_key.size()));
  if (!key) return false;
  bool good = false;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context && EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1)
    good = EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  return good;
}

}  // namespace plat
