// A real HTTPS server on 127.0.0.1 for the tests, with a certificate authority made for them.
// The server (https_server.py) serves any directory plus the scripted answers under /_/ that
// its own header lists; it also answers the same paths over plain HTTP on a second port.
#pragma once

#include <string>

#include "support/helpers.h"

namespace testing_support {

// A fresh certificate authority in `dir` (ca.pem) and a server certificate signed by it
// (server.pem, server.key) for `names`, an X.509 subjectAltName value: by default 127.0.0.1 and
// localhost. The subject's common name is the first of the names. True when all three were made.
struct TestCertificates {
  std::string ca;
  std::string cert;
  std::string key;
};
inline constexpr char kLoopbackNames[] = "IP:127.0.0.1,DNS:localhost";
bool make_test_certificates(const std::string& dir, TestCertificates& out, const std::string& names = kLoopbackNames);

// Starts the server over `root` and, while it lives, makes this process trust its authority
// (SSL_CERT_FILE) and reach 127.0.0.1 without a proxy. Stops the server and puts the
// environment back at the end. running() is false when the server could not be started.
class HttpsServer {
 public:
  // `port` 0 takes any free port; `names` are those the server's certificate is issued for.
  explicit HttpsServer(const std::string& root, int port = 0, const std::string& names = kLoopbackNames);
  ~HttpsServer();
  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;

  bool running() const { return port_ > 0; }
  int port() const { return port_; }
  int plain_port() const { return plain_port_; }
  std::string base_url() const;                        // "https://127.0.0.1:<port>"
  std::string url(const std::string& path) const;      // base_url() + path ("/..." expected)
  std::string plain_url(const std::string& path) const;   // the same over plain HTTP
  const std::string& ca_file() const { return certificates_.ca; }
  const std::string& root() const { return root_; }

 private:
  TempDir certs_dir_;
  TestCertificates certificates_;
  std::string root_;
  int pid_ = -1;
  int port_ = 0;
  int plain_port_ = 0;
  struct Saved {
    const char* name;
    bool set;
    std::string value;
  };
  Saved saved_[3] = {{"SSL_CERT_FILE", false, ""}, {"no_proxy", false, ""}, {"NO_PROXY", false, ""}};
};

}  // namespace testing_support
