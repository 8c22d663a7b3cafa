// The one form of public key the signature checks of every backend accept.
#include <cstring>

#include "platform/platform.h"

namespace plat {

bool p256_public_point(const std::string& public_key, unsigned char point[64]) {
  // SubjectPublicKeyInfo up to the point: id-ecPublicKey, prime256v1, BIT STRING, uncompressed.
  static const unsigned char kPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d,
                                          0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01,
                                          0x07, 0x03, 0x42, 0x00, 0x04};
  if (public_key.size() != sizeof kPrefix + 64 || std::memcmp(public_key.data(), kPrefix, sizeof kPrefix) != 0)
    return false;
  std::memcpy(point, public_key.data() + sizeof kPrefix, 64);
  return true;
}

}  // namespace plat
