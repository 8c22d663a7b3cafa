#include "catalogue/manifest.h"

#include <cmath>

#include "catalogue/download.h"
#include "catalogue/messages.h"
#include "catalogue/release_signature.h"
#include "common/progress.h"
#include "common/strings.h"
#include "platform/platform.h"

namespace {

// One JSON value parsed strictly: no comments, nothing after the value. False on any error.
bool parse_document(const std::string& body, nlohmann::json& value) {
  try {
    value = nlohmann::json::parse(body, nullptr, true, false);
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

uint64_t size_member(const nlohmann::json& value) {
  if (!value.is_object()) return 0;
  auto it = value.find("size");
  if (it == value.end()) return 0;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer()) return static_cast<uint64_t>(it->get<int64_t>());
  if (it->is_number_float()) {
    // Truncated toward zero; a value no 64-bit integer can hold reads as no size.
    double number = std::trunc(it->get<double>());
    if (!std::isfinite(number)) return 0;
    if (number >= 0 && number < 18446744073709551616.0) return static_cast<uint64_t>(number);
    if (number < 0 && number >= -9223372036854775808.0) return static_cast<uint64_t>(static_cast<int64_t>(number));
    return 0;
  }
  return 0;
}

bool has_version(const std::vector<ReleaseEntry>& list, const std::string& version) {
  for (const ReleaseEntry& entry : list)
    if (entry.version == version) return true;
  return false;
}

std::string trim_base(const std::string& base) {
  size_t end = base.size();
  while (end > 0 && (base[end - 1] == '/' || base[end - 1] == '\\')) --end;
  return base.substr(0, end);
}

bool is_https(const std::string& base) {
  static const char kScheme[] = "https://";
  if (base.size() <= 7) return false;
  for (size_t i = 0; i < 8; ++i) {
    char c = base[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return false;
  }
  return true;
}

// With keys compiled in, a list counts only with a good signature beside it at `url` + ".sig";
// `error` then says why it does not count.
bool signature_accepted(const std::string& url, const std::string& body, std::wstring& error) {
  const std::vector<std::string>& keys = release_keys();
  if (keys.empty()) return true;
  std::string signature;
  std::wstring unused;
  if (http_download(url + ".sig", &signature, std::wstring(), unused) && signed_by_any(body, signature, keys))
    return true;
  error = kBadListSignatureText;
  return false;
}

// With keys compiled in, a list past its "expires" no longer counts (a server cannot keep
// users on an old list for ever); unsigned lists never expire.
bool refused_as_expired(const nlohmann::json& document, std::wstring& error) {
  if (release_keys().empty() || !list_expired(document, plat::utc_seconds_now())) return false;
  error = kListExpired;
  return true;
}

}  // namespace

std::string json_string_member(const nlohmann::json& value, const char* key) {
  if (!value.is_object()) return std::string();
  auto it = value.find(key);
  if (it == value.end() || !it->is_string()) return std::string();
  return it->get<std::string>();
}

ReleaseEntry parse_release_entry(const nlohmann::json& value) {
  ReleaseEntry entry;
  entry.version = json_string_member(value, "version");
  entry.file_name = json_string_member(value, "file_name");
  entry.download_url = json_string_member(value, "download_url");
  entry.sha256 = json_string_member(value, "sha256");
  entry.release_notes = json_string_member(value, "release_notes");
  if (entry.release_notes.empty()) entry.release_notes = json_string_member(value, "comments");
  entry.channel = json_string_member(value, "channel");
  entry.kind = json_string_member(value, "kind");
  entry.size = size_member(value);
  return entry;
}

std::string join_url(const std::string& base, const std::string& path) {
  size_t start = path.find_first_not_of('/');
  std::string tail = start == std::string::npos ? std::string() : path.substr(start);
  return trim_base(base) + "/" + tail;
}

void collect_release_entries(const std::string& body, std::vector<ReleaseEntry>& portable,
                             std::vector<ReleaseEntry>& installers) {
  nlohmann::json document;
  if (parse_document(body, document)) collect_parsed_release_entries(document, portable, installers);
}

void collect_parsed_release_entries(const nlohmann::json& document, std::vector<ReleaseEntry>& portable,
                                    std::vector<ReleaseEntry>& installers) {
  if (!document.is_object()) return;
  auto releases = document.find("releases");
  if (releases == document.end() || !releases->is_array()) return;
  for (const nlohmann::json& element : *releases) {
    ReleaseEntry entry = parse_release_entry(element);
    if (entry.download_url.empty()) continue;
    if (entry.kind.empty() || entry.kind == "portable") {
      if (!has_version(portable, entry.version)) portable.push_back(std::move(entry));
    } else if (entry.kind == "installer") {
      if (!has_version(installers, entry.version)) installers.push_back(std::move(entry));
    }
  }
}

bool load_release_catalogue_from(const std::string& base_address, std::wstring& error) {
  const std::string base = trim_base(base_address);
  if (!is_https(base)) {
    error = kListNotHttps;
    return false;
  }
  std::vector<ReleaseEntry>& catalogue = release_catalogue.entries;
  catalogue.clear();

  std::string body;
  std::vector<ReleaseEntry> installers;
  const std::string primary = join_url(base, "/updates/releases.json");
  if (http_download(primary, &body, std::wstring(), error) && signature_accepted(primary, body, error)) {
    nlohmann::json document;
    if (parse_document(body, document) && !refused_as_expired(document, error))
      collect_parsed_release_entries(document, catalogue, installers);
  }
  if (!catalogue.empty()) return true;
  if (!installers.empty()) {
    catalogue = std::move(installers);
    return true;
  }

  // The primary document gave nothing: its own failure is never shown, only the fallback's.
  error.clear();
  body.clear();
  const std::string fallback = join_url(base, "/updates/latest-portable.json");
  if (!http_download(fallback, &body, std::wstring(), error) || !signature_accepted(fallback, body, error))
    return false;
  nlohmann::json document;
  if (!parse_document(body, document)) {
    error = kListUnparsable;
    return false;
  }
  if (refused_as_expired(document, error)) return false;
  ReleaseEntry entry = parse_release_entry(document);
  entry.kind = "portable";
  if (!entry.download_url.empty()) catalogue.push_back(std::move(entry));
  return !catalogue.empty();
}

bool load_release_catalogue(std::wstring& error) { return load_release_catalogue_from(update_server_base, error); }

bool fill_version_list() {
  std::wstring error;
  if (!load_release_catalogue(error)) {
    set_status(error.empty() ? kListUnreadable : error);
    return false;
  }
  for (const ReleaseEntry& entry : release_catalogue.entries)
    add_version_line(entry.version.empty() ? "未知版本" : entry.version);
  if (!release_catalogue.entries.empty()) {
    release_catalogue.selected = 0;
    select_version_line(0);
  }
  show_release_notes();
  set_status(kChooseVersion);
  return false;
}

void show_release_notes() {
  std::string text = "暂无版本说明。";
  int32_t index = release_catalogue.selected;
  if (index >= 0 && static_cast<size_t>(index) < release_catalogue.entries.size() &&
      !release_catalogue.entries[static_cast<size_t>(index)].release_notes.empty())
    text = release_catalogue.entries[static_cast<size_t>(index)].release_notes;
  set_release_notes_text(text);
}
