// The release manifest from the update server: the primary document's body, and single entry
// objects as the fallback document gives them.
#include <nlohmann/json.hpp>
#include <set>

#include "catalogue/manifest.h"
#include "fuzz_support.h"

static void check_list(const std::vector<ReleaseEntry>& entries) {
  std::set<std::string> versions;
  for (const ReleaseEntry& e : entries) {
    FUZZ_CHECK(!e.download_url.empty());          // an entry without an address is never offered
    FUZZ_CHECK(versions.insert(e.version).second); // the first entry of a version wins
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  std::vector<ReleaseEntry> portable, installers;
  collect_release_entries(body, portable, installers);
  check_list(portable);
  check_list(installers);
  for (const ReleaseEntry& e : portable) FUZZ_CHECK(e.kind.empty() || e.kind == "portable");
  for (const ReleaseEntry& e : installers) FUZZ_CHECK(e.kind == "installer");
  // Collecting into lists that already hold entries keeps them and adds no duplicate.
  size_t before = portable.size();
  collect_release_entries(body, portable, installers);
  FUZZ_CHECK(portable.size() == before);
  check_list(portable);

  nlohmann::json value = nlohmann::json::parse(body, nullptr, false);
  if (!value.is_discarded()) {
    ReleaseEntry entry = parse_release_entry(value);
    if (!value.is_object()) FUZZ_CHECK(entry.version.empty() && entry.download_url.empty() && entry.size == 0);
    for (const char* key : {"version", "file_name", "download_url", "kind"}) (void)json_string_member(value, key);
  }
  return 0;
}
