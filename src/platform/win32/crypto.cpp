// Windows backend: SHA-256 through CryptoAPI (the AES provider, no persisted keys).
#include <windows.h>
#include <wincrypt.h>

#include "platform/platform.h"

namespace plat {

struct Sha256 {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
};

void sha256_discard(Sha256* digest) {
  if (!digest) return;
  if (digest->hash) CryptDestroyHash(digest->hash);
  if (digest->provider) CryptReleaseContext(digest->provider, 0);
  delete digest;
}

Sha256* sha256_begin() {
  Sha256* digest = new Sha256;
  if (!CryptAcquireContextW(&digest->provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    digest->provider = 0;
    sha256_discard(digest);
    return nullptr;
  }
  if (!CryptCreateHash(digest->provider, CALG_SHA_256, 0, 0, &digest->hash)) {
    digest->hash = 0;
    sha256_discard(digest);
    return nullptr;
  }
  return digest;
}

bool sha256_add(Sha256* digest, const void* data, size_t size) {
  if (!digest) return false;
  const BYTE* bytes = static_cast<const BYTE*>(data);
  while (size > 0) {
    DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    if (!CryptHashData(digest->hash, bytes, piece, 0)) return false;
    bytes += piece;
    size -= piece;
  }
  return true;
}

bool sha256_finish(Sha256* digest, unsigned char out[32]) {
  if (!digest) return false;
  DWORD length = 32;
  bool ok = CryptGetHashParam(digest->hash, HP_HASHVAL, out, &length, 0) && length == 32;
  sha256_discard(digest);
  return ok;
}

}  // namespace plat
