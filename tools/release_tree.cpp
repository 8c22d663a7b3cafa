// The release tree of morvell-release: its lock, the order of its entries and the writing of its
// lists. A list is signed from the very bytes that are written, after its last change.
#include "release_tree.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "catalogue/manifest.h"
#include "catalogue/release_signature.h"
#include "common/filetree.h"
#include "common/strings.h"
#include "package/verify.h"
#include "platform/platform.h"
#include "release_signing.h"

namespace {

constexpr uint32_t kLockWaitMs = 60000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string digits_without_leading_zeros(const std::string& text, size_t& at) {
  size_t start = at;
  while (at < text.size() && is_digit(text[at])) ++at;
  while (start + 1 < at && text[start] == '0') ++start;
  return text.substr(start, at - start);
}

std::string utc_text(int64_t seconds) {
  time_t value = static_cast<time_t>(seconds);
  struct tm parts;
  char text[32] = {};
  if (!gmtime_r(&value, &parts) || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) return "";
  return text;
}

std::string json_text(const Json& document) {
  return document.dump(2, ' ', false, Json::error_handler_t::strict) + "\n";
}

}  // namespace

bool lock_tree(const ReleaseTree& tree, InstallationLock& lock, std::string& why) {
  for (const char* folder : {"/updates", "/pkgs"}) {
    if (!create_directory_tree(plat::utf8_to_wide(tree.root + folder))) {
      why = "cannot create " + tree.root + folder + ": " + std::strerror(errno);
      return false;
    }
  }
  lock.path = plat::utf8_to_wide(tree.root + "/.morvell-release.lock");
  const uint32_t start = plat::tick_ms();
  for (;;) {
    const plat::LockResult result = plat::try_lock_file(lock.path, lock.file);
    if (result == plat::LockResult::Taken) return true;
    if (result == plat::LockResult::Failed) {
      why = "cannot lock " + tree.root + ": " + plat::last_error_text();
      return false;
    }
    if (plat::tick_ms() - start > kLockWaitMs) {
      why = "another morvell-release has held " + tree.root + " for a minute; try again when it has ended";
      return false;
    }
    plat::sleep_ms(20);
  }
}

int compare_versions(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (is_digit(a[i]) && is_digit(b[j])) {
      const std::string x = digits_without_leading_zeros(a, i), y = digits_without_leading_zeros(b, j);
      if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
      if (x != y) return x < y ? -1 : 1;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
    ++i;
    ++j;
  }
  if (i == a.size() && j == b.size()) return 0;
  if (i < a.size()) return a[i] == '-' ? -1 : 1;
  return b[j] == '-' ? 1 : -1;
}

bool is_portable_kind(const std::string& kind) { return kind.empty() || kind == "portable"; }

bool is_lower_hex_digest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!is_digit(c) && (c < 'a' || c > 'f')) return false;
  return true;
}

bool valid_utf8(const std::string& text) { return display_text(text) == text; }

std::string url_segment(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(static_cast<char>(c)) ||
                       (c != 0 && std::strchr("-._~", c));
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", c);
    out += plain ? std::string(1, static_cast<char>(c)) : std::string(escaped);
  }
  return out;
}

bool read_release_list(const std::string& path, Json& list, std::string& why) {
  std::string text;
  if (access(path.c_str(), F_OK) != 0) {
    list = Json::object();
    list["releases"] = Json::array();
    return true;
  }
  if (!read_whole_file(path, text)) {
    why = "cannot read " + path;
    return false;
  }
  try {
    list = Json::parse(text, nullptr, true, false);
  } catch (const Json::exception& e) {
    why = path + " is not JSON (" + e.what() + "); mend or remove it first";
    return false;
  }
  if (!list.is_object() || !list.contains("releases") || !list["releases"].is_array()) {
    why = path + " has no \"releases\" array; mend or remove it first";
    return false;
  }
  return true;
}

long find_entry(const Json& list, const std::string& version, bool portable) {
  const Json& releases = list["releases"];
  for (size_t i = 0; i < releases.size(); ++i) {
    const ReleaseEntry entry = parse_release_entry(nlohmann::json(releases[i]));
    if (entry.version == version && is_portable_kind(entry.kind) == portable) return static_cast<long>(i);
  }
  return -1;
}

void place_entry(Json& list, const Json& entry) {
  const std::string version = entry["version"];
  Json& releases = list["releases"];
  const long same = find_entry(list, version, is_portable_kind(entry["kind"]));
  if (same >= 0) {
    releases[static_cast<size_t>(same)] = entry;
    return;
  }
  size_t at = 0;
  while (at < releases.size() && compare_versions(version, json_string_member(nlohmann::json(releases[at]), "version")) <= 0)
    ++at;
  releases.insert(releases.begin() + static_cast<long>(at), entry);
}

Json fallback_document(const Json& list) {
  // The entry the installer itself would offer first.
  std::vector<ReleaseEntry> portable, installers;
  collect_parsed_release_entries(nlohmann::json(list), portable, installers);
  if (portable.empty()) return Json();
  const long index = find_entry(list, portable.front().version, true);
  if (index < 0) return Json();
  Json document = Json::object();
  if (list.contains("expires")) document["expires"] = list["expires"];
  for (const auto& member : list["releases"][static_cast<size_t>(index)].items())
    if (member.key() != "expires") document[member.key()] = member.value();
  return document;
}

bool apply_expires(Json& list, const std::string& option, std::string& why) {
  if (option.empty()) return true;
  int64_t when = 0;
  const int64_t now = plat::utc_seconds_now();
  if (option == "never") {
    list.erase("expires");
    return true;
  }
  if (option.size() >= 2 && option.size() <= 6 && option.back() == 'd' &&
      option.find_first_not_of("0123456789") == option.size() - 1) {
    when = now + std::stoll(option.substr(0, option.size() - 1)) * 86400;
  } else if (!parse_utc_time(option, when)) {
    why = "--expires takes YYYY-MM-DDTHH:MM:SSZ (UTC), a number of days such as 90d, or never";
    return false;
  }
  if (when <= now) {
    why = "--expires " + option + " is not in the future: every keyed installer would refuse the list";
    return false;
  }
  Json reordered = Json::object();
  reordered["expires"] = utc_text(when);
  for (const auto& member : list.items())
    if (member.key() != "expires") reordered[member.key()] = member.value();
  list = reordered;
  return true;
}

bool file_digest(const std::string& path, std::string& digest, uint64_t& size) {
  const std::wstring wide = plat::utf8_to_wide(path);
  return plat::file_size(wide, size) && sha256_file_hex(wide, digest);
}

bool publish_lists(const ReleaseTree& tree, const Json& list, const std::string& private_key, std::string& why) {
  std::vector<std::pair<std::string, std::string>> documents;
  try {
    documents.emplace_back(tree.list(), json_text(list));
    const Json fallback = fallback_document(list);
    if (!fallback.is_null()) documents.emplace_back(tree.fallback(), json_text(fallback));
  } catch (const Json::exception& e) {
    why = std::string("the list cannot be written: ") + e.what();
    return false;
  }
  std::vector<std::string> signatures;
  for (const auto& [path, text] : documents) {
    if (private_key.empty()) break;
    signatures.push_back(signature_text(private_key, text, why));
    if (signatures.back().empty()) return false;
  }
  for (size_t i = 0; i < documents.size(); ++i) {
    const std::string& path = documents[i].first;
    const std::string sig = path + ".sig";
    if (!replace_file(path, documents[i].second) ||
        (signatures.empty() ? unlink(sig.c_str()) != 0 && errno != ENOENT
                            : !replace_file(sig, signature_file_content(signatures[i])))) {
      why = "cannot write " + path + " or its signature: " + std::strerror(errno);
      return false;
    }
  }
  return true;
}
