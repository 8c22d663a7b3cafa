// The release manifest from the update server: the primary document's body, and single entry
// objects as the fallback document gives them. What the catalogue picks is held against a plain
// reading of the manifest rules, walked over the parsed document.
#include <cmath>
#include <nlohmann/json.hpp>

#include "catalogue/manifest.h"
#include "catalogue/release_signature.h"
#include "common/strings.h"
#include "fuzz_support.h"

static std::string text_member(const nlohmann::json& v, const char* key) {
  if (!v.is_object() || !v.contains(key) || !v[key].is_string()) return std::string();
  return v[key].get<std::string>();
}

// "size": integers as their 64-bit value, floating point truncated toward zero when it fits.
static bool check_size(const nlohmann::json& v, uint64_t size) {
  if (!v.is_object() || !v.contains("size")) return size == 0;
  const nlohmann::json& s = v["size"];
  if (s.is_number_unsigned()) return size == s.get<uint64_t>();
  if (s.is_number_integer()) return size == static_cast<uint64_t>(s.get<int64_t>());
  if (s.is_number_float()) {
    double d = std::trunc(s.get<double>());
    if (d >= 0 && d < 18446744073709551616.0) return size == static_cast<uint64_t>(d);
    if (d < 0 && d >= -9223372036854775808.0) return size == static_cast<uint64_t>(static_cast<int64_t>(d));
    return size == 0;
  }
  return size == 0;
}

static void check_entry(const nlohmann::json& v, const ReleaseEntry& e) {
  FUZZ_CHECK(e.version == text_member(v, "version"));
  FUZZ_CHECK(e.file_name == text_member(v, "file_name"));
  FUZZ_CHECK(e.download_url == text_member(v, "download_url"));
  FUZZ_CHECK(e.sha256 == text_member(v, "sha256"));
  std::string notes = text_member(v, "release_notes");
  FUZZ_CHECK(e.release_notes == (notes.empty() ? text_member(v, "comments") : notes));
  FUZZ_CHECK(e.channel == text_member(v, "channel"));
  FUZZ_CHECK(e.kind == text_member(v, "kind"));
  FUZZ_CHECK(check_size(v, e.size));
}

static bool listed(const std::vector<const nlohmann::json*>& list, const std::string& version) {
  for (const nlohmann::json* v : list)
    if (text_member(*v, "version") == version) return true;
  return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  std::vector<ReleaseEntry> portable, installers;
  collect_release_entries(body, portable, installers);

  // The entries each list should hold, in manifest order.
  std::vector<const nlohmann::json*> want_portable, want_installers;
  nlohmann::json value = nlohmann::json::parse(body, nullptr, false, false);
  if (!value.is_discarded() && value.is_object() && value.contains("releases") && value["releases"].is_array()) {
    for (const nlohmann::json& element : value["releases"]) {
      if (text_member(element, "download_url").empty()) continue;
      std::string kind = text_member(element, "kind"), version = text_member(element, "version");
      if (kind.empty() || kind == "portable") {
        if (!listed(want_portable, version)) want_portable.push_back(&element);
      } else if (kind == "installer") {
        if (!listed(want_installers, version)) want_installers.push_back(&element);
      }
    }
  }
  FUZZ_CHECK(portable.size() == want_portable.size());
  FUZZ_CHECK(installers.size() == want_installers.size());
  for (size_t i = 0; i < portable.size(); ++i) check_entry(*want_portable[i], portable[i]);
  for (size_t i = 0; i < installers.size(); ++i) check_entry(*want_installers[i], installers[i]);

  // Collecting into lists that already hold entries keeps them and adds no duplicate.
  collect_release_entries(body, portable, installers);
  FUZZ_CHECK(portable.size() == want_portable.size());
  FUZZ_CHECK(installers.size() == want_installers.size());

  // The fallback document: one entry object, whatever the value is.
  if (!value.is_discarded()) {
    check_entry(value, parse_release_entry(value));
    for (const char* key : {"version", "file_name", "download_url", "kind", "size", ""})
      FUZZ_CHECK(json_string_member(value, key) == text_member(value, key));
    if (value.is_object() && value.contains("releases") && value["releases"].is_array())
      for (const nlohmann::json& element : value["releases"]) check_entry(element, parse_release_entry(element));
  }

  // A signed list's expiry: an instant that reads is the first moment the list no longer counts.
  int64_t seconds = 0;
  if (parse_utc_time(body, seconds)) {
    FUZZ_CHECK(seconds >= 0 && seconds <= INT64_C(253402300799));
    nlohmann::json expiring = {{"expires", body}};
    FUZZ_CHECK(list_expired(expiring, seconds) && !list_expired(expiring, seconds - 1));
  }
  if (!value.is_discarded()) list_expired(value, 0);
  // Signature texts: whatever decodes encodes back to the same bytes, and nothing verifies by chance.
  std::string bytes, again;
  if (base64_decode(body, bytes)) FUZZ_CHECK(base64_decode(base64_encode(bytes), again) && again == bytes);
  static const std::vector<std::string> keys = parse_release_keys(
      "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEhPdvKZ8ZsQK5wIiR7qEeqesJ5aLqMXx5UoiMuW/FgGtmetl2VCvnb2+Z9psM3AJi4gOqMSRPvOPy9F+3U6fs2g==");
  FUZZ_CHECK(!signed_by_any(body, body, keys));
  return 0;
}
