// The test certificate authority of scripts/test-windows, trusted through the prefix's machine
// ROOT store (nothing outside the build directory's Wine prefix is touched).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>
#include <string>

#include "support/helpers.h"

namespace testing_support {

// The port of the loopback HTTPS server, or "" when the tests run without one.
inline std::string https_test_port() {
  const char* port = std::getenv("MORVELL_TEST_HTTPS_PORT");
  return port ? port : "";
}

inline bool trust_test_authority() {
  const char* der_path = std::getenv("MORVELL_TEST_CA_DER");
  if (!der_path) return false;
  std::string der = read_text(der_path);
  if (der.empty()) return false;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
  if (!store) return false;
  BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                reinterpret_cast<const BYTE*>(der.data()),
                                                static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                nullptr);
  CertCloseStore(store, 0);
  return added != 0;
}

}  // namespace testing_support
