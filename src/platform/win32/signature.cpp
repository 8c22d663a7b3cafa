// Windows backend: ECDSA P-256 / SHA-256 signature checks through CNG. CNG takes the raw r || s
// form, so the DER signature is read strictly here: anything OpenSSL would refuse is refused.
#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "platform/platform.h"

namespace plat {

namespace {

// One DER INTEGER at `at`, a positive value of at most 32 bytes, right-aligned into `out`.
bool read_integer(const unsigned char* der, size_t size, size_t& at, unsigned char out[32]) {
  if (at + 2 > size || der[at] != 0x02) return false;
  size_t length = der[at + 1];
  at += 2;
  if (length == 0 || length > 33 || at + length > size) return false;
  const unsigned char* value = der + at;
  at += length;
  if (value[0] & 0x80) return false;                             // negative
  if (value[0] == 0 && length > 1) {
    if (!(value[1] & 0x80)) return false;                        // a zero byte DER does not allow
    ++value;
    --length;
  }
  if (length > 32) return false;
  std::memset(out, 0, 32);
  std::memcpy(out + 32 - length, value, length);
  return true;
}

// DER ECDSA-Sig-Value (SEQUENCE of r and s) to r || s, 32 bytes each.
bool raw_signature(const std::string& signature, unsigned char out[64]) {
  const unsigned char* der = reinterpret_cast<const unsigned char*>(signature.data());
  size_t size = signature.size();
  if (size < 8 || der[0] != 0x30 || der[1] >= 0x80 || static_cast<size_t>(der[1]) + 2 != size) return false;
  size_t at = 2;
  return read_integer(der, size, at, out) && read_integer(der, size, at, out + 32) && at == size;
}

bool sha256_of(const std::string& data, unsigned char out[32]) {
  Sha256* digest = sha256_begin();
  if (!digest) return false;
  if (!sha256_add(digest, data.data(), data.size())) {
    sha256_discard(digest);
    return false;
  }
  return sha256_finish(digest, out);
}

}  // namespace

bool ecdsa_p256_verify(const std::string& public_key, const std::string& data, const std::string& signature) {
  unsigned char point[64];
  unsigned char raw[64];
  unsigned char hash[32];
  if (!p256_public_point(public_key, point) || !raw_signature(signature, raw) || !sha256_of(data, hash)) return false;

  // The key as CNG's public blob: the header, then X and Y.
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
  BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, point, sizeof point);

  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) return false;
  BCRYPT_KEY_HANDLE key = nullptr;
  bool good = false;
  if (BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof blob, 0) == 0) {
    good = BCryptVerifySignature(key, nullptr, hash, sizeof hash, raw, sizeof raw, 0) == 0;
    BCryptDestroyKey(key);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return good;
}

}  // namespace plat
