// The tree that morvell-release keeps for a publisher, as the update server publishes it:
// DIR/updates/releases.json and latest-portable.json (each with its .sig) and the packages in
// DIR/pkgs/. The lists change only whole (written beside, then renamed) and only under the lock.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "install/lock.h"

using Json = nlohmann::ordered_json;   // members stay in the order they are written

// The command line after the command: "--name value" options (a name may come more than once),
// flags without a value, and plain words.
struct Options {
  std::map<std::string, std::vector<std::string>> values;
  std::vector<std::string> words;
  std::string value(const char* name) const;   // the last one given, or ""
  bool has(const char* name) const;
};

int tool_fail(const std::string& message);   // "morvell-release: MESSAGE" on standard error; 1

struct ReleaseTree {
  std::string root;
  std::string list() const { return root + "/updates/releases.json"; }
  std::string fallback() const { return root + "/updates/latest-portable.json"; }
  std::string package(const std::string& name) const { return root + "/pkgs/" + name; }
};

// Makes the tree's folders and takes its lock, waiting up to a minute for another change to end.
bool lock_tree(const ReleaseTree& tree, InstallationLock& lock, std::string& why);

// Below 0 when version `a` is older than `b`: runs of digits compare as numbers, other text
// byte by byte, and a version that goes on with "-" after the other ends is a pre-release of it.
int compare_versions(const std::string& a, const std::string& b);
bool is_portable_kind(const std::string& kind);                 // "" or "portable", as the reader takes it
bool is_lower_hex_digest(const std::string& text);             // 64 of 0-9a-f
bool valid_utf8(const std::string& text);
std::string url_segment(const std::string& name);               // percent-encoded for a URL path

// The list at `path` (strictly parsed); a missing file reads as an empty list. False with `why`
// when the file is there but is not a release list.
bool read_release_list(const std::string& path, Json& list, std::string& why);
// Index of the entry of `version` and kind (portable or installer) in the list, or -1.
long find_entry(const Json& list, const std::string& version, bool portable);
// Puts `entry` in place of the entry of its version and kind, else before the first older one.
void place_entry(Json& list, const Json& entry);
// The newest portable entry as latest-portable.json holds it (with the list's "expires"); null when none.
Json fallback_document(const Json& list);
// "YYYY-MM-DDTHH:MM:SSZ", "Nd" (N days from now) or "never" (removes it); false with `why` otherwise.
bool apply_expires(Json& list, const std::string& option, std::string& why);

// SHA-256 (lower-case hex) and size of a file; false when it cannot be read.
bool file_digest(const std::string& path, std::string& digest, uint64_t& size);
// Writes both lists (releases.json first) and, with a private key, their signatures, made from
// the very bytes written. Without a key, signatures of earlier lists are removed.
bool publish_lists(const ReleaseTree& tree, const Json& list, const std::string& private_key, std::string& why);

// The commands; each returns the exit code.
int run_add(const Options& options);
int run_offline(const Options& options);
int run_check(const Options& options);
int run_winget(const Options& options);
