// Makes the keys that release lists are signed with, signs a list and checks a signature:
//   morvell-sign keygen --private KEY.pem --public-out KEY.pub   (prints the MORVELL_RELEASE_KEYS line)
//   morvell-sign sign --private KEY.pem FILE                       (writes FILE.sig)
//   morvell-sign verify --public BASE64 FILE                       (checks FILE.sig; exit 0 when good)
// A private key is written only where no file was, readable by its owner alone, and never printed.
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "catalogue/release_signature.h"
#include "common/strings.h"
#include "release_signing.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "morvell-sign: %s\n", message.c_str());
  return 1;
}

int usage() {
  std::fprintf(stderr,
               "usage: morvell-sign keygen --private KEY.pem --public-out KEY.pub\n"
               "       morvell-sign sign --private KEY.pem FILE\n"
               "       morvell-sign verify --public BASE64 FILE\n");
  return 2;
}

// The command line after the command: "--name value" pairs and one plain argument.
struct Arguments {
  std::string private_key, public_out, public_key, file;
  bool good = true;
};

Arguments read_arguments(int argc, char** argv) {
  Arguments out;
  for (int i = 2; i < argc; ++i) {
    std::string word = argv[i];
    std::string* slot = word == "--private" ? &out.private_key : word == "--public-out" ? &out.public_out
                        : word == "--public" ? &out.public_key : nullptr;
    if (slot && i + 1 < argc) {
      *slot = argv[++i];
    } else if (!slot && word.compare(0, 2, "--") != 0 && out.file.empty()) {
      out.file = word;
    } else {
      out.good = false;
    }
  }
  return out;
}

int keygen(const Arguments& args) {
  if (args.private_key.empty() || args.public_out.empty() || !args.file.empty()) return usage();
  if (args.private_key == args.public_out) return fail("the private and the public key need two files");
  struct stat st;
  if (lstat(args.private_key.c_str(), &st) == 0) return fail(args.private_key + " exists; a private key is never overwritten");
  if (lstat(args.public_out.c_str(), &st) == 0) return fail(args.public_out + " exists; choose another name");

  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) return fail("no P-256 key could be made");
  std::string pem;
  BIO* memory = BIO_new(BIO_s_mem());
  if (memory && PEM_write_bio_PrivateKey(memory, key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
    char* data = nullptr;
    long size = BIO_get_mem_data(memory, &data);
    if (size > 0) pem.assign(data, static_cast<size_t>(size));
  }
  BIO_free(memory);
  const std::string line = base64_encode(public_key_der(key));
  EVP_PKEY_free(key);
  if (pem.empty() || line.empty()) return fail("the key could not be written out");

  if (!write_new_file(args.private_key, pem, 0600))
    return fail("cannot create " + args.private_key + ": " + std::strerror(errno));
  OPENSSL_cleanse(&pem[0], pem.size());
  if (!write_new_file(args.public_out, line + "\n", 0644)) {
    int saved = errno;
    ::unlink(args.private_key.c_str());   // made just now: without its public half it is of no use
    return fail("cannot create " + args.public_out + ": " + std::strerror(saved));
  }
  std::printf("%s\n", line.c_str());
  return 0;
}

int sign(const Arguments& args) {
  if (args.private_key.empty() || args.file.empty() || !args.public_out.empty() || !args.public_key.empty())
    return usage();
  std::string document, why;
  if (!read_whole_file(args.file, document)) return fail("cannot read " + args.file);
  const std::string text = signature_text(args.private_key, document, why);
  if (text.empty()) return fail(why);

  const std::string output = args.file + ".sig";
  if (!replace_file(output, signature_file_content(text))) return fail("cannot write " + output + ": " + std::strerror(errno));
  std::printf("%s written\n", output.c_str());
  return 0;
}

int verify(const Arguments& args) {
  if (args.public_key.empty() || args.file.empty() || !args.private_key.empty() || !args.public_out.empty())
    return usage();
  std::string document, signature;
  if (!read_whole_file(args.file, document)) return fail("cannot read " + args.file);
  if (!read_whole_file(args.file + ".sig", signature)) return fail("cannot read " + args.file + ".sig");
  if (!signed_by_any(document, signature, parse_release_keys(args.public_key)))
    return fail(args.file + ".sig: not a good signature of " + args.file + " by the key given");
  std::printf("%s: good signature\n", args.file.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  const Arguments args = read_arguments(argc, argv);
  if (!args.good) return usage();
  if (command == "keygen") return keygen(args);
  if (command == "sign") return sign(args);
  if (command == "verify") return verify(args);
  return usage();
}
