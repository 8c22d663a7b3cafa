// morvell-release check: what a keyed installer would meet on an update server (or in a tree
// before upload), found before users meet it. Everything goes through the installer's own HTTP
// client and manifest reader; each finding is one line, and the exit code is 0 only without one.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "catalogue/manifest.h"
#include "catalogue/release_signature.h"
#include "common/strings.h"
#include "release_signing.h"
#include "release_tree.h"

namespace {

constexpr int64_t kWarnAheadSeconds = 14 * 86400;
constexpr size_t kListLimit = 64u * 1024u * 1024u;   // the installer's own cap for a document

// A list's members as the manifest reader takes them (a DOM without member order).
using Document = nlohmann::json;

struct Report {
  size_t findings = 0;
  void finding(const std::string& where, const std::string& what) {
    std::printf("%s: %s\n", where.c_str(), what.c_str());
    ++findings;
  }
  void warning(const std::string& where, const std::string& what) {
    std::printf("warning: %s: %s\n", where.c_str(), what.c_str());
  }
};

enum class Fetch { Body, Probe, Hash };

struct Answer {
  plat::HttpStage stage = plat::HttpStage::Done;
  long status = 0;
  uint32_t content_length = 0;
  std::string content_range;
  std::string body;     // Body
  std::string digest;   // Hash: lower-case hex of what arrived
  uint64_t received = 0;
  bool good() const { return status >= 200 && status <= 299 && (stage == plat::HttpStage::Done || stage == plat::HttpStage::Aborted); }
};

// One GET. A probe asks for the last byte only (`range_from`) and hangs up after the head.
Answer http(const std::string& url, Fetch mode, uint64_t range_from = 0) {
  Answer answer;
  plat::Sha256* running = mode == Fetch::Hash ? plat::sha256_begin() : nullptr;
  plat::HttpHandlers handlers;
  handlers.range_from = range_from;
  handlers.on_response = [&](long status, uint32_t length) {
    answer.status = status;
    answer.content_length = length;
    answer.content_range = handlers.content_range;
    return mode != Fetch::Probe && status >= 200 && status <= 299;
  };
  handlers.on_data = [&](const char* data, size_t size) {
    answer.received += size;
    if (mode == Fetch::Body && answer.body.size() + size > kListLimit) return false;
    if (mode == Fetch::Body) answer.body.append(data, size);
    return !running || plat::sha256_add(running, data, size);
  };
  answer.stage = plat::http_get(url, handlers);
  unsigned char value[32];
  if (running && answer.stage == plat::HttpStage::Done && plat::sha256_finish(running, value)) {
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char byte : value) answer.digest += {kHex[byte >> 4], kHex[byte & 15]};
  } else if (running && answer.stage != plat::HttpStage::Done) {
    plat::sha256_discard(running);
  }
  return answer;
}

std::string failure_text(const Answer& answer) {
  if (answer.status != 0 && !answer.good()) return "answers HTTP " + std::to_string(answer.status);
  switch (answer.stage) {
    case plat::HttpStage::BadUrl: return "is not an address the installer can fetch";
    case plat::HttpStage::ReadFailed:
    case plat::HttpStage::DataFailed: return "broke off during the transfer";
    default: return "cannot be fetched (no connection, a TLS failure or a certificate the system does not trust)";
  }
}

// The total length a 206 or 416 answer names in "bytes A-B/TOTAL" or "bytes */TOTAL"; 0 when none.
uint64_t range_total(const std::string& content_range) {
  const size_t slash = content_range.rfind('/');
  if (slash == std::string::npos || slash + 1 >= content_range.size()) return 0;
  uint64_t total = 0;
  for (size_t i = slash + 1; i < content_range.size(); ++i) {
    if (content_range[i] < '0' || content_range[i] > '9') return 0;
    total = total * 10 + static_cast<uint64_t>(content_range[i] - '0');
  }
  return total;
}

bool is_https(const std::string& url) { return url.size() > 8 && ends_with_ignore_case(url.substr(0, 8), "https://"); }

// Where the lists come from: a tree on disk or a server's base address.
struct Source {
  std::string where;
  bool local = true;

  bool read(const std::string& name, std::string& body, std::string& why) const {
    if (local) {
      if (read_whole_file(where + "/updates/" + name, body)) return true;
      why = "is missing from " + where + "/updates";
      return false;
    }
    const Answer answer = http(join_url(where, "/updates/" + name), Fetch::Body);
    body = answer.body;
    if (answer.good() && answer.stage == plat::HttpStage::Done) return true;
    why = failure_text(answer);
    return false;
  }
};

struct Checker {
  Source source;
  std::vector<std::string> keys;
  bool download = false;
  Report report;

  // The list `name` parsed as the installer parses it, its signature and its expiry checked.
  bool load(const std::string& name, Document& document, bool must_exist) {
    std::string body, why;
    if (!source.read(name, body, why)) {
      if (must_exist) report.finding(name, why);
      return false;
    }
    try {
      document = Document::parse(body, nullptr, true, false);
    } catch (const Document::exception& e) {
      report.finding(name, std::string("is not JSON: ") + e.what());
      return false;
    }
    std::string signature;
    if (!keys.empty() && !source.read(name + ".sig", signature, why))
      report.finding(name + ".sig", why);
    else if (!keys.empty() && !signed_by_any(body, signature, keys))
      report.finding(name, "its signature does not verify with the keys given (changed after signing, or signed with another key)");
    check_expiry(name, document);
    return true;
  }

  void check_expiry(const std::string& name, const Document& document) {
    if (!document.is_object() || !document.contains("expires")) return;
    const std::string text = json_string_member(document, "expires");
    int64_t expires = 0;
    const int64_t now = plat::utc_seconds_now();
    if (!parse_utc_time(text, expires))
      report.finding(name, "\"expires\" is not of the form YYYY-MM-DDTHH:MM:SSZ: keyed installers take the list as expired");
    else if (expires <= now)
      report.finding(name, "expired at " + text + ": keyed installers refuse it");
    else if (expires - now < kWarnAheadSeconds)
      report.warning(name, "expires at " + text + ", in " + std::to_string((expires - now) / 86400) +
                               " days: add again with a later --expires");
  }

  // The package at the entry's address: it answers, with the listed size, and (from the tree or
  // downloaded) the listed digest.
  void check_package(const std::string& label, const ReleaseEntry& entry) {
    const std::string& url = entry.download_url;
    if (!is_https(url)) {
      report.finding(label, url + " is not an https:// address");
      return;
    }
    const Answer answer = http(url, download ? Fetch::Hash : Fetch::Probe, !download && entry.size > 1 ? entry.size - 1 : 0);
    uint64_t served = answer.status == 206 || answer.status == 416 ? range_total(answer.content_range)
                      : download                                  ? answer.received
                                                                  : answer.content_length;
    if (!answer.good() && answer.status != 416) {
      report.finding(label, url + " " + failure_text(answer));
      return;
    }
    std::string digest = answer.digest, local_digest;
    uint64_t local_size = 0;
    const std::string local = source.where + "/pkgs/" + entry.file_name;
    const bool have_local = source.local && !entry.file_name.empty() && entry.file_name.find('/') == std::string::npos &&
                            access(local.c_str(), F_OK) == 0 &&
                            file_digest(local, local_digest, local_size);
    if (served != entry.size || (have_local && local_size != entry.size))
      report.finding(label, "size listed " + std::to_string(entry.size) + ", served " +
                                (served ? std::to_string(served) : std::string("without a length")) +
                                (have_local ? ", " + std::to_string(local_size) + " in pkgs/" : std::string()));
    if (digest.empty() && have_local) digest = local_digest;
    if (!digest.empty() && digest != entry.sha256)
      report.finding(label, "sha256 listed " + entry.sha256 + ", the package has " + digest +
                                (download ? " (downloaded)" : " (in pkgs/)"));
  }

  // Each entry as the installer reads it; the entries it would drop are findings too.
  std::vector<ReleaseEntry> check_entries(const Document& list) {
    std::vector<ReleaseEntry> entries;
    if (!list.is_object() || !list.contains("releases") || !list["releases"].is_array()) {
      report.finding("releases.json", "has no \"releases\" array: installers fall back to latest-portable.json");
      return entries;
    }
    size_t number = 0;
    for (const Document& element : list["releases"]) {
      ++number;
      const ReleaseEntry entry = parse_release_entry(element);
      const std::string label = "releases.json: " + (entry.version.empty() ? "entry " + std::to_string(number) : entry.version) +
                                " (" + (entry.kind.empty() ? std::string("portable") : entry.kind) + ")";
      bool duplicate = false;
      for (const ReleaseEntry& earlier : entries)
        duplicate = duplicate || (earlier.version == entry.version && is_portable_kind(earlier.kind) == is_portable_kind(entry.kind));
      if (!element.is_object())
        report.finding(label, "is not a JSON object");
      else if (!is_portable_kind(entry.kind) && entry.kind != "installer")
        report.finding(label, "no installer offers a release of this kind");
      else if (entry.download_url.empty())
        report.finding(label, "has no download_url: no installer offers it");
      else if (duplicate)
        report.finding(label, "is listed twice: installers take the first");
      else if (!is_lower_hex_digest(entry.sha256))
        report.finding(label, "sha256 is not 64 lower-case hexadecimal digits: installs fail or go unverified");
      else
        entries.push_back(entry);
    }
    for (const ReleaseEntry& entry : entries)
      check_package("releases.json: " + entry.version + " (" + (entry.kind.empty() ? "portable" : entry.kind) + ")", entry);
    return entries;
  }

  // The fallback must be the newest portable release of the list, as listed there.
  void check_fallback(const Document& list, const Document& fallback) {
    std::vector<ReleaseEntry> portable, installers;
    collect_parsed_release_entries(list, portable, installers);
    const ReleaseEntry named = parse_release_entry(fallback);
    const ReleaseEntry* listed = nullptr;
    for (const ReleaseEntry& entry : portable)
      if (entry.version == named.version) listed = &entry;
    const std::string where = "latest-portable.json";
    if (named.download_url.empty())
      report.finding(where, "has no download_url: installers that fall back to it find nothing");
    else if (!listed)
      report.finding(where, "names " + named.version + ", which releases.json does not list as a portable release");
    else if (listed->download_url != named.download_url || listed->sha256 != named.sha256 || listed->size != named.size)
      report.finding(where, "names " + named.version + " with another address, digest or size than releases.json");
    else if (&portable.front() != listed)
      report.finding(where, "names " + named.version + ", but the newest portable release listed is " + portable.front().version);
    if (!named.download_url.empty() && (!listed || listed->download_url != named.download_url)) check_package(where, named);
  }
};

}  // namespace

int run_check(const Options& options) {
  Checker checker;
  checker.source.where = options.words.front();
  checker.download = options.has("--download");
  auto it = options.values.find("--public");
  std::string setting;
  for (const std::string& key : it == options.values.end() ? std::vector<std::string>() : it->second) setting += key + ";";
  checker.keys = parse_release_keys(setting);
  const std::string& where = checker.source.where;
  if (ends_with_ignore_case(where.substr(0, 7), "http://")) {
    checker.report.finding(where, "is not an https:// address: installers take release lists over HTTPS only");
    return 1;
  }
  checker.source.local = !is_https(where);
  if (checker.source.local && access((where + "/updates").c_str(), F_OK) != 0)
    return tool_fail(where + " is neither an https:// address nor a release tree (no updates/ folder)");

  Document list, fallback;
  const bool have_list = checker.load("releases.json", list, true);
  std::vector<ReleaseEntry> portable, installers;
  if (have_list) {
    checker.check_entries(list);
    collect_parsed_release_entries(list, portable, installers);
    if (portable.empty() && installers.empty()) checker.report.finding("releases.json", "offers no release");
  }
  if (checker.load("latest-portable.json", fallback, !have_list || !portable.empty()) && have_list)
    checker.check_fallback(list, fallback);
  const size_t findings = checker.report.findings;
  std::fprintf(stderr, "morvell-release check: %s\n",
               findings ? (std::to_string(findings) + (findings == 1 ? " finding" : " findings")).c_str() : "no findings");
  return findings ? 1 : 0;
}
