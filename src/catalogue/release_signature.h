// Signed release lists: the trusted keys, the detached signature beside each list and the
// list's expiry. With no trusted key nothing here is consulted and lists are taken as they come.
#pragma once

#include <nlohmann/json.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/messages.h"


// The keys of a setting like release_keys_setting, as DER; a key that is not base64 stays in the
// list as one that matches nothing, so a damaged setting refuses lists rather than trusting them.
std::vector<std::string> parse_release_keys(const std::string& setting);
const std::vector<std::string>& release_keys();            // the compiled-in keys, unless replaced
void replace_release_keys(const std::string* setting);    // tests: other keys; null = compiled-in again
// True when `signature_text` (base64 of a DER ECDSA P-256 / SHA-256 signature) is a signature of
// `document` by one of `keys`.
bool signed_by_any(const std::string& document, const std::string& signature_text,
                   const std::vector<std::string>& keys);
// Seconds since 1970 of "YYYY-MM-DDTHH:MM:SSZ" (UTC, exactly that form); false otherwise.
bool parse_utc_time(const std::string& text, int64_t& seconds);
// True when the document names an "expires" that is not after `now`, or one that cannot be read.
bool list_expired(const nlohmann::json& document, int64_t now);
