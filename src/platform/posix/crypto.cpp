// POSIX backend: SHA-256 through OpenSSL's EVP digest interface.
#include <openssl/evp.h>

#include "platform/platform.h"

namespace plat {

struct Sha256 {
  EVP_MD_CTX* context = nullptr;
};

void sha256_discard(Sha256* digest) {
  if (!digest) return;
  if (digest->context) EVP_MD_CTX_free(digest->context);
  delete digest;
}

Sha256* sha256_begin() {
  Sha256* digest = new Sha256;
  digest->context = EVP_MD_CTX_new();
  if (!digest->context || EVP_DigestInit_ex(digest->context, EVP_sha256(), nullptr) != 1) {
    sha256_discard(digest);
    return nullptr;
  }
  return digest;
}

bool sha256_add(Sha256* digest, const void* data, size_t size) {
  if (!digest) return false;
  return size == 0 || EVP_DigestUpdate(digest->context, data, size) == 1;
}

bool sha256_finish(Sha256* digest, unsigned char out[32]) {
  if (!digest) return false;
  unsigned int length = 0;
  bool ok = EVP_DigestFinal_ex(digest->context, out, &length) == 1 && length == 32;
  sha256_discard(digest);
  return ok;
}

}  // namespace plat
