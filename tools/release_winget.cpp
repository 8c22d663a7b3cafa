// morvell-release winget: the manifest set the Windows package manager installs an offline
// installer from (version, installer and default-locale files of schema 1.6.0). Every text is
// written as a double-quoted YAML string, so that no version or name is read as a number.
#include <cstdio>
#include <string>

#include "catalogue/manifest.h"
#include "common/filetree.h"
#include "common/strings.h"
#include "platform/platform.h"
#include "release_signing.h"
#include "release_tree.h"

namespace {

const char kSchemaVersion[] = "1.6.0";
const char kLocale[] = "en-US";
constexpr size_t kNotesLimit = 10000;   // the schema's limit for ReleaseNotes

std::string quoted(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Parts of 1 to 32 characters, 2 to 8 of them, joined by dots, none of them blank or \/:*?"<>|.
bool valid_package_id(const std::string& id) {
  size_t parts = 1, length = 0;
  for (unsigned char c : id) {
    if (c == '.') {
      if (length == 0) return false;
      ++parts;
      length = 0;
    } else if (c <= 0x20 || std::string("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string::npos) {
      return false;
    } else if ((c & 0xC0) != 0x80) {
      ++length;
    }
    if (length > 32) return false;
  }
  return length > 0 && parts >= 2 && parts <= 8 && id.size() <= 128;
}

std::string head(const std::string& type, const std::string& id, const std::string& version) {
  return "# Written by morvell-release for Morvell " + version + ".\n"
         "# yaml-language-server: $schema=https://aka.ms/winget-manifest." + type + "." + kSchemaVersion + ".schema.json\n"
         "PackageIdentifier: " + quoted(id) + "\n"
         "PackageVersion: " + quoted(version) + "\n";
}

std::string tail(const std::string& type) {
  return "ManifestType: " + quoted(type) + "\nManifestVersion: " + quoted(kSchemaVersion) + "\n";
}

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace

int run_winget(const Options& options) {
  const ReleaseTree tree{options.value("--root")};
  const std::string version = options.value("--version"), publisher = options.value("--publisher"),
                    id = options.value("--package-id");
  const std::string license = options.has("--license") ? options.value("--license") : "Proprietary";
  const std::string description =
      options.has("--description") ? options.value("--description") : "Morvell, a portable desktop application";
  if (tree.root.empty() || version.empty() || publisher.empty() || id.empty())
    return tool_fail("winget needs --root, --version, --publisher and --package-id");
  if (!valid_package_id(id)) return tool_fail("--package-id must be like Publisher.Morvell: 2 to 8 dot-separated parts");
  for (const std::string* text : {&publisher, &license, &description})
    if (text->size() < 3 || text->size() > 256 || !valid_utf8(*text))
      return tool_fail("--publisher, --license and --description take UTF-8 text of 3 to 256 bytes");

  Json list;
  std::string why;
  if (!read_release_list(tree.list(), list, why)) return tool_fail(why);
  const long index = find_entry(list, version, false);
  if (index < 0) return tool_fail(version + " has no installer entry in " + tree.list() + ": run offline first");
  const ReleaseEntry entry = parse_release_entry(nlohmann::json(list["releases"][static_cast<size_t>(index)]));
  if (!ends_with_ignore_case(entry.file_name, ".exe"))
    return tool_fail(entry.file_name + " is not a Windows program: build it with offline from morvell-installer.exe");
  if (!ends_with_ignore_case(entry.download_url.substr(0, 8), "https://") || !is_lower_hex_digest(entry.sha256))
    return tool_fail("the installer entry of " + version + " needs an https:// address and a sha256");

  const std::string version_file = head("version", id, version) + "DefaultLocale: " + quoted(kLocale) + "\n" + tail("version");
  const std::string installer_file =
      head("installer", id, version) +
      "InstallerType: \"exe\"\n"
      "Scope: \"user\"\n"
      "InstallModes:\n  - \"interactive\"\n  - \"silent\"\n  - \"silentWithProgress\"\n"
      "InstallerSwitches:\n"
      "  Interactive: \"--offline\"\n"
      "  Silent: \"--silent-install --no-launch\"\n"
      "  SilentWithProgress: \"--silent-install --no-launch\"\n"
      "  InstallLocation: " + quoted("--install-dir \"<INSTALLPATH>\"") + "\n"
      "  Log: " + quoted("--log \"<LOGPATH>\"") + "\n"
      "# A silent install ends with 0 when Morvell is installed; with 2 when this installer carries no\n"
      "# package or cannot copy it out (download it again); with 3 when the install failed, leaving the\n"
      "# installation that was there as it was (the --log file says why).\n"
      "ExpectedReturnCodes:\n"
      "  - InstallerReturnCode: 2\n    ReturnResponse: \"contactSupport\"\n"
      "  - InstallerReturnCode: 3\n    ReturnResponse: \"custom\"\n"
      "UpgradeBehavior: \"install\"\n"
      "Installers:\n"
      "  - Architecture: \"x64\"\n"
      "    InstallerUrl: " + quoted(entry.download_url) + "\n"
      "    InstallerSha256: " + quoted(upper(entry.sha256)) + "\n" +
      tail("installer");
  std::string locale_file = head("defaultLocale", id, version) + "PackageLocale: " + quoted(kLocale) + "\n" +
                            "Publisher: " + quoted(publisher) + "\nPackageName: \"Morvell\"\nLicense: " + quoted(license) +
                            "\nShortDescription: " + quoted(description) + "\n";
  if (!entry.release_notes.empty() && entry.release_notes.size() <= kNotesLimit)
    locale_file += "ReleaseNotes: " + quoted(entry.release_notes) + "\n";
  locale_file += tail("defaultLocale");

  const std::string folder = options.has("--output") ? options.value("--output") : tree.root + "/winget/" + version;
  if (!create_directory_tree(plat::utf8_to_wide(folder))) return tool_fail("cannot create " + folder);
  for (const auto& [name, text] : {std::make_pair(id + ".yaml", version_file),
                                   std::make_pair(id + ".installer.yaml", installer_file),
                                   std::make_pair(id + ".locale." + kLocale + ".yaml", locale_file)}) {
    if (!replace_file(folder + "/" + name, text)) return tool_fail("cannot write " + folder + "/" + name);
    std::printf("%s/%s\n", folder.c_str(), name.c_str());
  }
  return 0;
}
