// morvell-release add and offline: a package is staged beside its place in DIR/pkgs/, then, under
// the tree's lock, checked against what is listed, renamed into place and listed. Other bytes
// under a listed version are refused unless --replace says so: users may have that package already.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "catalogue/manifest.h"
#include "common/strings.h"
#include "offline_pack.h"
#include "package/payload.h"
#include "platform/platform.h"
#include "release_signing.h"
#include "release_tree.h"

namespace {

struct NewRelease {
  std::string version, file_name, download_url, kind;
  std::optional<std::string> notes, channel;   // kept from the entry it replaces when not given
};

// Members in the order the manifest reader documents them.
Json entry_json(const NewRelease& release, const std::string& digest, uint64_t size) {
  Json entry = Json::object();
  entry["version"] = release.version;
  entry["file_name"] = release.file_name;
  entry["download_url"] = release.download_url;
  entry["sha256"] = digest;
  entry["release_notes"] = release.notes.value_or("");
  if (release.channel) entry["channel"] = *release.channel;
  entry["kind"] = release.kind;
  entry["size"] = size;
  return entry;
}

// A new, empty file beside `name` in the tree's pkgs/ for the package to be written into.
std::string staging_file(const ReleaseTree& tree, const std::string& name) {
  std::string pattern = tree.package("." + name + ".new-XXXXXX");
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  int fd = mkstemp(path.data());
  if (fd < 0) return std::string();
  close(fd);
  return path.data();
}

bool well_formed(const std::string& text) {
  if (text.empty() || !valid_utf8(text)) return false;
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

// What add and offline share once the package is staged: the checks against the list, the rename
// into place and, with `list_it`, the lists written and signed.
int commit(const ReleaseTree& tree, Json& list, NewRelease release, const std::string& staged, const Options& options,
           bool list_it) {
  auto refuse = [&](const std::string& why) {
    unlink(staged.c_str());
    return tool_fail(why);
  };
  std::string digest, why;
  uint64_t size = 0;
  if (!file_digest(staged, digest, size)) return refuse("cannot read " + staged + " back");
  const std::string label = release.version + " (" + release.kind + ")";
  const long same = find_entry(list, release.version, release.kind == "portable");
  const Json& releases = list["releases"];
  for (size_t i = 0; i < releases.size(); ++i) {
    const ReleaseEntry listed = parse_release_entry(nlohmann::json(releases[i]));
    const bool other_bytes = listed.sha256 != digest || listed.size != size;
    if (static_cast<long>(i) == same && other_bytes && !options.has("--replace"))
      return refuse(label + " is already listed with other bytes (" + std::to_string(listed.size) + " bytes, sha256 " +
                    listed.sha256 + "); give --replace to list this package in its place");
    if (static_cast<long>(i) != same && listed.file_name == release.file_name && other_bytes)
      return refuse("pkgs/" + release.file_name + " is the package of " + listed.version +
                    "; give this package a name of its own");
    if (static_cast<long>(i) == same && !release.notes) release.notes = listed.release_notes;
    if (static_cast<long>(i) == same && !release.channel && releases[i].contains("channel"))
      release.channel = listed.channel;
  }
  const std::string target = tree.package(release.file_name);
  if (chmod(staged.c_str(), 0644) != 0 || std::rename(staged.c_str(), target.c_str()) != 0)
    return refuse("cannot put the package at " + target + ": " + std::strerror(errno));
  std::printf("pkgs/%s: %llu bytes, sha256 %s\n", release.file_name.c_str(), static_cast<unsigned long long>(size),
              digest.c_str());
  if (!list_it) return 0;

  place_entry(list, entry_json(release, digest, size));
  const std::string key = options.value("--private");
  if (!apply_expires(list, options.value("--expires"), why) || !publish_lists(tree, list, key, why))
    return tool_fail(why);
  std::printf("listed %s in updates/releases.json; updates/latest-portable.json names the newest portable release\n",
              label.c_str());
  if (key.empty())
    std::printf("the lists are not signed (no --private): an installer built with release keys refuses them\n");
  else
    std::printf("both lists signed with %s\n", key.c_str());
  return 0;
}

// Refusals that need no lock: a key that cannot sign, an expiry that cannot be written.
bool usable_key_and_expiry(const Options& options, std::string& why) {
  Json probe = Json::object();
  if (!apply_expires(probe, options.value("--expires"), why)) return false;
  return !options.has("--private") || !signature_text(options.value("--private"), "", why).empty();
}

}  // namespace

int run_add(const Options& options) {
  const ReleaseTree tree{options.value("--root")};
  const std::string package = options.value("--package"), base = options.value("--base-url");
  NewRelease release;
  release.version = options.value("--version");
  release.kind = options.has("--kind") ? options.value("--kind") : "portable";
  if (tree.root.empty() || package.empty() || base.empty()) return tool_fail("add needs --root, --package, --version and --base-url");
  if (!well_formed(release.version)) return tool_fail("--version must be UTF-8 text without control characters");
  if (release.kind != "portable" && release.kind != "installer") return tool_fail("--kind is portable or installer");
  if (!ends_with_ignore_case(base.substr(0, 8), "https://"))
    return tool_fail("--base-url must be an https:// address: installers fetch packages by the address listed");
  release.file_name = plat::wide_to_utf8(file_name_of(plat::utf8_to_wide(package)));
  if (!well_formed(release.file_name) || release.file_name[0] == '.')
    return tool_fail(package + ": a package name must be UTF-8 and must not start with a dot");
  release.download_url = join_url(base, "pkgs/" + url_segment(release.file_name));
  if (options.has("--notes")) {
    std::string notes;
    if (!read_whole_file(options.value("--notes"), notes)) return tool_fail("cannot read " + options.value("--notes"));
    if (!valid_utf8(notes)) return tool_fail(options.value("--notes") + " is not UTF-8 text");
    release.notes = notes;
  }
  if (options.has("--channel")) {
    if (!well_formed(options.value("--channel"))) return tool_fail("--channel must be UTF-8 text");
    release.channel = options.value("--channel");
  }
  std::string why;
  if (!usable_key_and_expiry(options, why)) return tool_fail(why);

  // What the installer does with the file: a portable package is unpacked, an installer is run.
  uint64_t offset = 0, length = 0;
  std::vector<unsigned char> bytes;
  if (release.kind == "installer" ? !find_carried_payload(plat::utf8_to_wide(package), offset, length)
                                  : !read_regular_file(package, bytes, why) || !looks_like_zip(bytes))
    return tool_fail(package + (release.kind == "installer" ? " is not an offline installer (no package inside)"
                                                             : " is not a zip archive"));
  bytes.clear();

  InstallationLock lock;
  Json list;
  if (!lock_tree(tree, lock, why) || !read_release_list(tree.list(), list, why)) return tool_fail(why);
  const std::string staged = staging_file(tree, release.file_name);
  if (staged.empty() || !plat::copy_file(plat::utf8_to_wide(package), plat::utf8_to_wide(staged), {})) {
    if (!staged.empty()) unlink(staged.c_str());
    return tool_fail("cannot copy " + package + " into " + tree.root + "/pkgs");
  }
  return commit(tree, list, release, staged, options, true);
}

int run_offline(const Options& options) {
  const ReleaseTree tree{options.value("--root")};
  const std::string installer = options.value("--installer"), version = options.value("--version");
  if (tree.root.empty() || installer.empty() || version.empty())
    return tool_fail("offline needs --root, --installer and --version");
  std::string why;
  if (!usable_key_and_expiry(options, why)) return tool_fail(why);
  InstallationLock lock;
  Json list;
  if (!lock_tree(tree, lock, why) || !read_release_list(tree.list(), list, why)) return tool_fail(why);
  const long index = find_entry(list, version, true);
  if (index < 0) return tool_fail(version + " is not listed as a portable release in " + tree.list() + ": add it first");
  const ReleaseEntry portable = parse_release_entry(nlohmann::json(list["releases"][static_cast<size_t>(index)]));
  std::string digest;
  uint64_t size = 0;
  const std::string package = tree.package(portable.file_name);
  if (!file_digest(package, digest, size) || digest != portable.sha256 || size != portable.size)
    return tool_fail(package + " is missing or is not the package listed for " + version);

  // A Windows program becomes a .exe; any other stays without an extension, like the program.
  std::vector<unsigned char> program;
  if (!read_regular_file(installer, program, why)) return tool_fail(why);
  const bool windows = program.size() > 2 && program[0] == 'M' && program[1] == 'Z';
  program.clear();
  NewRelease release;
  release.version = version;
  release.kind = "installer";
  release.file_name = "Morvell-Setup-" + version + (windows ? ".exe" : "");
  release.download_url = portable.download_url.substr(0, portable.download_url.rfind('/') + 1) + url_segment(release.file_name);
  release.notes = portable.release_notes;
  if (list["releases"][static_cast<size_t>(index)].contains("channel")) release.channel = portable.channel;

  const std::string staged = staging_file(tree, release.file_name);
  size_t program_size = 0, package_size = 0;
  if (staged.empty() || !write_offline_installer(installer, package, staged, program_size, package_size, why)) {
    if (!staged.empty()) unlink(staged.c_str());
    return tool_fail(staged.empty() ? "cannot write into " + tree.root + "/pkgs" : why);
  }
  std::printf("%s-byte installer program + %s-byte package\n", std::to_string(program_size).c_str(),
              std::to_string(package_size).c_str());
  return commit(tree, list, release, staged, options, !options.has("--no-list"));
}
