// Signing release lists. A signature is checked by the installer's own code before anything is
// written, so that a key of another kind is caught by the publisher and never by users.
#include "release_signing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "catalogue/release_signature.h"
#include "common/strings.h"

namespace {

bool write_and_close(int fd, const std::string& content) {
  bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) && fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

}  // namespace

bool read_whole_file(const std::string& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  content = all.str();
  return !in.bad();
}

bool write_new_file(const std::string& path, const std::string& content, unsigned mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
  if (fd < 0) return false;
  if (write_and_close(fd, content)) return true;
  int saved = errno;
  ::unlink(path.c_str());
  errno = saved;
  return false;
}

bool replace_file(const std::string& path, const std::string& content, unsigned mode) {
  std::string pattern = path + ".tmp-XXXXXX";
  std::vector<char> temp(pattern.begin(), pattern.end());
  temp.push_back('\0');
  int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  if (fchmod(fd, static_cast<mode_t>(mode)) == 0 && write_and_close(fd, content) &&
      std::rename(temp.data(), path.c_str()) == 0)
    return true;
  int saved = errno;
  ::unlink(temp.data());
  errno = saved;
  return false;
}

std::string public_key_der(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  int size = i2d_PUBKEY(key, &der);
  std::string out = size > 0 ? std::string(reinterpret_cast<char*>(der), static_cast<size_t>(size)) : "";
  OPENSSL_free(der);
  return out;
}

std::string signature_text(const std::string& key_path, const std::string& document, std::string& why) {
  FILE* pem = std::fopen(key_path.c_str(), "rb");
  if (!pem) {
    why = "cannot read " + key_path + ": " + std::strerror(errno);
    return std::string();
  }
  EVP_PKEY* key = PEM_read_PrivateKey(pem, nullptr, nullptr, nullptr);
  std::fclose(pem);
  if (!key) {
    why = key_path + " holds no private key this tool can read";
    return std::string();
  }

  std::string signature;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  size_t size = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(document.data());
  if (context && EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestSign(context, nullptr, &size, data, document.size()) == 1) {
    signature.resize(size);
    if (EVP_DigestSign(context, reinterpret_cast<unsigned char*>(&signature[0]), &size, data, document.size()) == 1)
      signature.resize(size);
    else
      signature.clear();
  }
  EVP_MD_CTX_free(context);
  const std::vector<std::string> own_key = {public_key_der(key)};
  EVP_PKEY_free(key);
  const std::string text = base64_encode(signature);
  if (signature.empty() || !signed_by_any(document, text, own_key)) {
    why = key_path + " is not an ECDSA P-256 key, or signing failed";
    return std::string();
  }
  return text;
}
