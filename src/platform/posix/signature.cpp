// POSIX backend: ECDSA P-256 / SHA-256 signature checks through OpenSSL's EVP interface.
// Only a named-curve P-256 key in its one uncompressed form is accepted, as on Windows.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/platform.h"

namespace plat {

bool ecdsa_p256_verify(const std::string& public_key, const std::string& data, const std::string& signature) {
  unsigned char point[64];
  if (!p256_public_point(public_key, point) || signature.empty()) return false;
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
