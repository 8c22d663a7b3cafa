// Signing release lists, shared by morvell-sign and morvell-release: a `.sig` beside a list holds
// the base64 text of a DER ECDSA P-256 / SHA-256 signature over the list's exact bytes, and one line break.
#pragma once

#include <openssl/types.h>

#include <string>

bool read_whole_file(const std::string& path, std::string& content);   // false when unreadable
// Writes `content` into a new file; an existing file is left alone and the call fails (errno set).
bool write_new_file(const std::string& path, const std::string& content, unsigned mode);
// Writes `content` beside `path` and renames it over `path`, so that a reader meets the old file
// or the new one, whole. False with errno set; nothing is left beside it.
bool replace_file(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string public_key_der(EVP_PKEY* key);   // DER SubjectPublicKeyInfo; empty on failure
// The signature text of `document` by the private key in the PEM file `key_path`, checked with the
// installer's own verification against the key's public half. Empty with `why` on failure.
std::string signature_text(const std::string& key_path, const std::string& document, std::string& why);
// The `.sig` content for a signature text.
inline std::string signature_file_content(const std::string& text) { return text + "\n"; }
