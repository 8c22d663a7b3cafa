// morvell-release end to end: the real tool writes a release tree, the loopback HTTPS server
// serves it, the installer's own reader loads it, `check` names each fault on its own, and an
// installer built with the tests' release key installs from it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "catalogue/release_signature.h"
#include "support/build_paths.h"
#include "support/gui_driver.h"
#include "support/manifest_fixture.h"

using namespace testing_support;
using Ordered = nlohmann::ordered_json;

namespace {

const std::string kRelease = kBuild + "/morvell-release";
const std::string kKeyed = kBuild + "/morvell-installer-keyed";   // trusts tests/release-key/test.pub only
const std::string kKeyPem = kBuild + "/tests/release-key/test.pem";
constexpr int kKeyedPort = 47446;                                    // its compiled-in update server

std::string q(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string public_key() {
  std::string line = read_text(kBuild + "/tests/release-key/test.pub");
  while (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

struct ToolRun {
  int code = -1;
  std::vector<std::string> findings, warnings;
  std::string text;
};

// Runs morvell-release; a check's lines are sorted into findings and warnings.
ToolRun release(const std::string& args) {
  ToolRun run;
  run.text = capture_shell(q(kRelease) + " " + args + " 2>&1; echo \"exit $?\"");
  for (const std::string& line : lines_of(run.text)) {
    if (line.compare(0, 5, "exit ") == 0)
      run.code = std::stoi(line.substr(5));
    else if (line.compare(0, 9, "warning: ") == 0)
      run.warnings.push_back(line);
    else if (line.compare(0, 16, "morvell-release ") != 0)
      run.findings.push_back(line);
  }
  return run;
}

std::string sha256_of(const std::string& path) { return capture_shell("sha256sum " + q(path) + " | cut -c1-64 | tr -d '\\n'"); }

void sign(const std::string& list) {
  ASSERT_EQ(run_shell(q(kBuild + "/morvell-sign") + " sign --private " + q(kKeyPem) + " " + q(list) + " >/dev/null"), 0);
}

// Changes a list the way a hand edit would, then signs it again.
void edit(const std::string& list, const std::function<void(Ordered&)>& change) {
  Ordered document = Ordered::parse(read_text(list));
  change(document);
  write_text(list, document.dump(2) + "\n");
  sign(list);
}

class ReleaseToolTest : public ManifestTest {
 protected:
  void TearDown() override { replace_release_keys(nullptr); }
  std::string add(const std::string& zip, const std::string& version, const std::string& more = "") {
    return "add --root " + q(www.path()) + " --package " + q(zip) + " --version " + version + " --base-url " +
           server.base_url() + " --private " + q(kKeyPem) + " " + more;
  }
  std::string list() const { return www / "updates/releases.json"; }
  std::string fallback() const { return www / "updates/latest-portable.json"; }

  TempDir work;
};

}  // namespace

TEST_F(ReleaseToolTest, ThreeReleasesAreListedSignedCheckedAndEachFaultIsFoundOnItsOwn) {
  const std::string notes = work / "notes.txt";
  write_text(notes, "Morvell 6.1.17\n\n- 启动更快 \"深色\" 主题\\n  \n");
  write_text(work / "old.txt", "Morvell 6.1.16\n");
  ASSERT_EQ(release(add(kNew, "6.1.17", "--notes " + q(notes) + " --channel stable --expires 2099-01-01T00:00:00Z")).code, 0);
  ASSERT_EQ(release(add(kOld, "6.1.16", "--notes " + q(work / "old.txt"))).code, 0) << "an older one goes after it";
  const ToolRun offline = release("offline --root " + q(www.path()) + " --installer " + q(kInstaller) +
                                  " --version 6.1.17 --private " + q(kKeyPem));
  ASSERT_EQ(offline.code, 0) << offline.text;

  // The fallback, byte for byte: the newest portable entry, its members in the reader's order.
  const std::string size = std::to_string(read_text(kNew).size());
  EXPECT_EQ(read_text(fallback()), "{\n  \"expires\": \"2099-01-01T00:00:00Z\",\n  \"version\": \"6.1.17\",\n"
                                   "  \"file_name\": \"Morvell-6.1.17.zip\",\n  \"download_url\": \"" +
                                       server.url("/pkgs/Morvell-6.1.17.zip") + "\",\n  \"sha256\": \"" + sha256_of(kNew) +
                                       "\",\n  \"release_notes\": \"Morvell 6.1.17\\n\\n- 启动更快 \\\"深色\\\" 主题\\\\n  \\n\",\n"
                                       "  \"channel\": \"stable\",\n  \"kind\": \"portable\",\n  \"size\": " + size + "\n}\n");
  EXPECT_EQ(read_text(www / "pkgs/Morvell-6.1.16.zip"), read_text(kOld));
  EXPECT_EQ(read_text(www / "pkgs/Morvell-Setup-6.1.17"), read_text(kInstaller) + read_text(kNew) + "MORV-PACKAGE:" +
                                                               std::to_string(read_text(kInstaller).size()) + ":" + size);

  // What a keyed installer loads: both portable releases, newest first, the notes as written.
  const std::string key = public_key();
  replace_release_keys(&key);
  std::wstring error;
  ASSERT_TRUE(load(error)) << U(error);
  EXPECT_EQ(versions(), (std::vector<std::string>{"6.1.17", "6.1.16"}));
  EXPECT_EQ(release_catalogue.entries[0].release_notes, read_text(notes));
  EXPECT_EQ(release_catalogue.entries[1].sha256, sha256_of(kOld));
  std::vector<ReleaseEntry> portable, installers;
  collect_release_entries(read_text(list()), portable, installers);
  ASSERT_EQ(installers.size(), 1u);
  EXPECT_EQ(installers[0].download_url, server.url("/pkgs/Morvell-Setup-6.1.17"));
  EXPECT_EQ(installers[0].sha256, sha256_of(www / "pkgs/Morvell-Setup-6.1.17"));
  EXPECT_EQ(installers[0].release_notes, read_text(notes));

  const std::string keys = " --public " + q(key);
  const std::string tree = q(www.path()) + keys, live = server.base_url() + keys;
  for (const std::string& where : {tree, live, live + " --download"}) {
    const ToolRun good = release("check " + where);
    EXPECT_EQ(good.code, 0) << where << ": " << good.text;
    EXPECT_TRUE(good.findings.empty() && good.warnings.empty()) << good.text;
  }

  // Each fault alone, the tree put back after each: exactly one finding names it.
  auto expect_one = [&](const std::string& where, const std::function<void()>& fault, const std::string& finding) {
    const std::map<std::string, std::string> before = snapshot_tree(www.path());
    fault();
    const ToolRun run = release("check " + where);
    EXPECT_EQ(run.code, 1) << run.text;
    ASSERT_EQ(run.findings.size(), 1u) << finding << " expected; " << run.text;
    EXPECT_NE(run.findings[0].find(finding), std::string::npos) << run.findings[0];
    for (const auto& [name, content] : before) write_text(www / name, content);
    run_shell("rm -f " + q(www / "pkgs/Morvell-6.1.16.zip.gone"));
  };
  auto releases_of = [](Ordered& document) -> Ordered& { return document["releases"]; };
  const std::string same_size_other_bytes = read_text(kOld);
  ASSERT_EQ(same_size_other_bytes.size(), read_text(kNew).size());
  for (const std::string& where : {tree, live + " --download"})
    expect_one(where, [&] { write_text(www / "pkgs/Morvell-6.1.17.zip", same_size_other_bytes); },
               "releases.json: 6.1.17 (portable): sha256 listed " + sha256_of(kNew) + ", the package has " + sha256_of(kOld));
  expect_one(live, [&] { edit(list(), [](Ordered& d) { d["releases"][2]["size"] = d["releases"][2]["size"].get<int>() + 1; }); },
             "releases.json: 6.1.16 (portable): size listed " + std::to_string(read_text(kOld).size() + 1) + ", served " +
                 std::to_string(read_text(kOld).size()));
  expect_one(live, [&] { write_text(list(), read_text(list()) + " "); },
             "releases.json: its signature does not verify with the keys given");
  expect_one(live, [&] { edit(list(), [](Ordered& d) { d["expires"] = "2020-06-30T00:00:00Z"; }); },
             "releases.json: expired at 2020-06-30T00:00:00Z");
  expect_one(tree, [&] { run_shell("mv " + q(www / "pkgs/Morvell-6.1.16.zip") + " " + q(www / "pkgs/Morvell-6.1.16.zip.gone")); },
             "releases.json: 6.1.16 (portable): " + server.url("/pkgs/Morvell-6.1.16.zip") + " answers HTTP 404");
  expect_one(live, [&] { edit(list(), [&](Ordered& d) { releases_of(d)[2]["download_url"] = server.plain_url("/pkgs/Morvell-6.1.16.zip"); }); },
             "releases.json: 6.1.16 (portable): " + server.plain_url("/pkgs/Morvell-6.1.16.zip") + " is not an https:// address");
  expect_one(live, [&] { edit(list(), [&](Ordered& d) { releases_of(d).erase(0); }); },
             "latest-portable.json: names 6.1.17, which releases.json does not list as a portable release");

  // An expiry within two weeks is a warning, not a finding.
  edit(list(), [](Ordered& d) { d["expires"] = "2099-01-01T00:00:00Z"; });
  const std::string soon = capture_shell("date -u -d '+3 days' +%Y-%m-%dT%H:%M:%SZ | tr -d '\\n'");
  edit(fallback(), [&](Ordered& d) { d["expires"] = soon; });
  const ToolRun warned = release("check " + live);
  EXPECT_EQ(warned.code, 0) << warned.text;
  ASSERT_EQ(warned.warnings.size(), 1u) << warned.text;
  EXPECT_NE(warned.warnings[0].find("warning: latest-portable.json: expires at " + soon), std::string::npos);
}

TEST(ReleaseTool, OtherBytesAreRefusedAndParallelAddsKeepEveryEntryInWholeLists) {
  TempDir dir;
  const std::string root = dir / "tree", base = " --base-url https://updates.example.org/morvell/";
  auto add = [&](const std::string& zip, const std::string& version, const std::string& more = "") {
    return "add --root " + q(root) + " --package " + q(zip) + " --version " + version + base + more;
  };
  ASSERT_EQ(release(add(kNew, "6.1.17")).code, 0);
  const std::map<std::string, std::string> before = snapshot_tree(root);
  run_shell("cp " + q(kOld) + " " + q(dir / "Morvell-6.1.17.zip"));
  const ToolRun refused = release(add(dir / "Morvell-6.1.17.zip", "6.1.17"));
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.text.find("6.1.17 (portable) is already listed with other bytes"), std::string::npos) << refused.text;
  EXPECT_EQ(snapshot_tree(root), before) << "nothing changes, nothing is left beside";
  EXPECT_EQ(release(add(dir / "Morvell-6.1.17.zip", "6.1.17", " --replace")).code, 0);
  EXPECT_EQ(read_text(root + "/pkgs/Morvell-6.1.17.zip"), read_text(kOld));
  EXPECT_NE(read_text(root + "/updates/releases.json").find(sha256_of(kOld)), std::string::npos);
  EXPECT_EQ(release(add(kInstaller, "6.1.18")).code, 1) << "a program is not a zip package";
  EXPECT_EQ(release(add(kNew, "6.1.18", " --kind installer")).code, 1) << "a zip is not an offline installer";
  EXPECT_EQ(release("add --root " + q(root) + " --package " + q(kNew) + " --version 7 --base-url http://x.example/").code, 1);

  // Eight adds at once, with long notes so that each list takes a while to write, while a reader
  // reads both lists over and over: every entry stays, newest first, and no read meets half a list.
  write_text(dir / "notes.txt", std::string(400000, 'n'));
  std::string adds;
  for (const std::string version : {"7.0.1", "7.0.10", "6.9", "7.1.0", "7.0.2", "7.1.0-beta", "7.0.9", "7.0.0"}) {
    const std::string zip = dir / ("Morvell-" + version + ".zip");
    run_shell("cp " + q(kNew) + " " + q(zip));
    adds += q(kRelease) + " " + add(zip, version, " --notes " + q(dir / "notes.txt")) + " & ";
  }
  ASSERT_EQ(run_shell("(" + adds + "wait; touch " + q(dir / "done") + ") >" + q(dir / "adds.log") + " 2>&1 &"), 0);
  size_t reads = 0, broken = 0;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  for (bool done = false; !done && std::chrono::steady_clock::now() < limit;) {
    done = exists(dir / "done");   // and then one more round
    for (const char* name : {"/updates/releases.json", "/updates/latest-portable.json"}) {
      ++reads;
      if (!nlohmann::json::accept(read_text(root + name))) ++broken;
    }
  }
  EXPECT_TRUE(exists(dir / "done"));
  EXPECT_EQ(broken, 0u) << "of " << reads << " reads";
  EXPECT_GT(reads, 8u);
  std::vector<ReleaseEntry> portable, installers;
  collect_release_entries(read_text(root + "/updates/releases.json"), portable, installers);
  std::vector<std::string> listed;
  for (const ReleaseEntry& e : portable) listed.push_back(e.version);
  EXPECT_EQ(listed, (std::vector<std::string>{"7.1.0", "7.1.0-beta", "7.0.10", "7.0.9", "7.0.2", "7.0.1", "7.0.0", "6.9",
                                              "6.1.17"}))
      << read_text(dir / "adds.log");
  EXPECT_NE(read_text(root + "/updates/latest-portable.json").find("\"version\": \"7.1.0\""), std::string::npos);
  EXPECT_FALSE(exists(root + "/.morvell-release.lock"));
}

TEST(ReleaseTool, AnInstallerBuiltWithTheReleaseKeyInstallsFromTheTreeAddWrote) {
  Desk desk;
  REQUIRE_X(desk);
  const std::string root = desk.dir / "server", installer = desk.dir / "online/morvell-installer";
  ASSERT_EQ(run_shell("mkdir -p " + q(root) + " " + q(desk.dir / "online") + " && cp " + q(kKeyed) + " " + q(installer)), 0);
  HttpsServer server(root, kKeyedPort);
  ASSERT_TRUE(server.running()) << "port " << kKeyedPort << " is taken?";
  auto add = [&](const std::string& more) {
    return release("add --root " + q(root) + " --package " + q(kNew) + " --version 6.1.17 --base-url " +
                   server.base_url() + more);
  };
  size_t dialogs = 0;
  auto press_install = [&](const std::string& dir, bool installs) {
    Gui gui(desk, installer, {"--install-dir", dir, "--no-launch"}, {{"SSL_CERT_FILE", server.ca_file()}});
    EXPECT_TRUE(gui.wait_window());
    gui.press_action();
    EXPECT_TRUE(gui.dismiss_dialog(++dialogs));
    if (!installs) gui.press_cancel();   // after a refusal the window waits for another choice
    EXPECT_EQ(gui.wait_exit(), 0);
    return desk.dialogs().size() == dialogs ? desk.dialogs().back() : std::string("(no dialog)");
  };

  // Unsigned lists are refused by this installer: it offers nothing.
  ASSERT_EQ(add("").code, 0);
  EXPECT_EQ(press_install(desk.dir / "A", false), "error 请选择要安装的版本。");
  // The same release added again with the key: the lists are signed and it installs.
  ASSERT_EQ(add(" --private " + q(kKeyPem)).code, 0);
  EXPECT_EQ(press_install(desk.dir / "A", true), "info Morvell 安装完成");
  EXPECT_EQ(read_text(desk.dir / "A/version.txt"), "6.1.17\n");
}

namespace {

// The fields of the Windows package manager's published manifest schemas (1.6.0), written out by
// hand: what each file may hold, what it must hold, and the values some fields take.
const std::set<std::string> kVersionFields = {"PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType",
                                              "ManifestVersion"};
const std::set<std::string> kInstallerFields = {
    "PackageIdentifier", "PackageVersion", "Channel", "InstallerLocale", "Platform", "MinimumOSVersion", "InstallerType",
    "NestedInstallerType", "NestedInstallerFiles", "Scope", "InstallModes", "InstallerSwitches", "InstallerSuccessCodes",
    "ExpectedReturnCodes", "UpgradeBehavior", "Commands", "Protocols", "FileExtensions", "Dependencies",
    "PackageFamilyName", "ProductCode", "Capabilities", "RestrictedCapabilities", "Markets", "InstallerAbortsTerminal",
    "ReleaseDate", "InstallLocationRequired", "RequireExplicitUpgrade", "DisplayInstallWarnings",
    "UnsupportedOSArchitectures", "UnsupportedArguments", "AppsAndFeaturesEntries", "ElevationRequirement",
    "InstallationMetadata", "DownloadCommandProhibited", "Installers", "ManifestType", "ManifestVersion"};
const std::set<std::string> kInstallerRequired = {"PackageIdentifier", "PackageVersion", "Installers", "ManifestType",
                                                  "ManifestVersion"};
const std::set<std::string> kLocaleFields = {
    "PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher", "PublisherUrl", "PublisherSupportUrl",
    "PrivacyUrl", "Author", "PackageName", "PackageUrl", "License", "LicenseUrl", "Copyright", "CopyrightUrl",
    "ShortDescription", "Description", "Moniker", "Tags", "Agreements", "ReleaseNotes", "ReleaseNotesUrl", "PurchaseUrl",
    "InstallationNotes", "Documentations", "Icons", "ManifestType", "ManifestVersion"};
const std::set<std::string> kLocaleRequired = {"PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher",
                                               "PackageName", "License", "ShortDescription", "ManifestType",
                                               "ManifestVersion"};
const std::set<std::string> kSwitchFields = {"Silent", "SilentWithProgress", "Interactive", "InstallLocation", "Log",
                                             "Upgrade", "Custom"};
const std::set<std::string> kInstallModes = {"interactive", "silent", "silentWithProgress"};
const std::set<std::string> kReturnResponses = {
    "packageInUse", "packageInUseByApplication", "installInProgress", "fileInUse", "missingDependency", "diskFull",
    "insufficientMemory", "invalidParameter", "noNetwork", "contactSupport", "rebootRequiredToFinish",
    "rebootRequiredForInstall", "rebootInitiated", "cancelledByUser", "alreadyInstalled", "downgrade", "blockedByPolicy",
    "systemNotSupported", "custom"};

// A YAML file as JSON, read by a YAML parser of its own (PyYAML).
nlohmann::json yaml_file(const std::string& path) {
  const std::string text = capture_shell("python3 -c 'import json, sys, yaml; print(json.dumps(yaml.safe_load("
                                         "open(sys.argv[1], encoding=\"utf-8\"))))' " + q(path));
  return nlohmann::json::accept(text) ? nlohmann::json::parse(text) : nlohmann::json();
}

// Every member is one the schema names, every required one is there, every value a string but those given.
void expect_fields(const nlohmann::json& object, const std::set<std::string>& allowed, const std::set<std::string>& required,
                   const std::string& where) {
  ASSERT_TRUE(object.is_object()) << where;
  for (const auto& [name, value] : object.items()) {
    EXPECT_TRUE(allowed.count(name)) << where << ": " << name << " is no field of the schema";
    if (name != "InstallModes" && name != "InstallerSwitches" && name != "ExpectedReturnCodes" && name != "Installers") {
      EXPECT_TRUE(value.is_string()) << where << ": " << name;
    }
  }
  for (const std::string& name : required) EXPECT_TRUE(object.contains(name)) << where << ": " << name << " missing";
}

}  // namespace

TEST(ReleaseTool, WingetManifestsHoldTheSchemaFieldsTheSwitchesAndTheExitCodes) {
  TempDir dir;
  const std::string root = dir / "tree", program = dir / "morvell-installer.exe";
  write_text(program, "MZ" + std::string(4096, 'w'));   // stands in for the Windows program
  write_text(dir / "notes.txt", "Morvell 6.1.17\n\t- 深色主题: \"quoted\" \\ back\n");
  ASSERT_EQ(release("add --root " + q(root) + " --package " + q(kNew) + " --version 6.1.17 --notes " + q(dir / "notes.txt") +
                    " --base-url https://updates.example.org").code, 0);
  const std::string winget = "winget --root " + q(root) + " --version 6.1.17 --publisher 'Morvell Team' --package-id ";
  EXPECT_EQ(release(winget + "Morvell.Morvell").code, 1) << "no offline installer listed yet";
  ASSERT_EQ(release("offline --root " + q(root) + " --installer " + q(program) + " --version 6.1.17").code, 0);
  EXPECT_EQ(release(winget + "Morvell").code, 1) << "an identifier has two parts at least";
  ASSERT_EQ(release(winget + "Morvell.Morvell").code, 0);

  const std::string folder = root + "/winget/6.1.17/Morvell.Morvell";
  const nlohmann::json version = yaml_file(folder + ".yaml"), installer = yaml_file(folder + ".installer.yaml"),
                       locale = yaml_file(folder + ".locale.en-US.yaml");
  expect_fields(version, kVersionFields, kVersionFields, "version");
  expect_fields(installer, kInstallerFields, kInstallerRequired, "installer");
  expect_fields(locale, kLocaleFields, kLocaleRequired, "defaultLocale");
  const std::regex identifier(R"(^[^\.\s\\/:\*\?"<>\|\x01-\x1f]{1,32}(\.[^\.\s\\/:\*\?"<>\|\x01-\x1f]{1,32}){1,7}$)");
  for (const nlohmann::json* file : {&version, &installer, &locale}) {
    EXPECT_TRUE(std::regex_match(file->value("PackageIdentifier", ""), identifier));
    EXPECT_EQ(file->value("PackageVersion", ""), "6.1.17");
    EXPECT_EQ(file->value("ManifestVersion", ""), "1.6.0");
  }
  EXPECT_EQ(version.value("ManifestType", ""), "version");
  EXPECT_EQ(installer.value("ManifestType", ""), "installer");
  EXPECT_EQ(locale.value("ManifestType", ""), "defaultLocale");
  EXPECT_EQ(version.value("DefaultLocale", ""), locale.value("PackageLocale", "?"));
  EXPECT_EQ(locale.value("Publisher", ""), "Morvell Team");
  EXPECT_EQ(locale.value("ReleaseNotes", ""), read_text(dir / "notes.txt"));

  EXPECT_EQ(installer.value("InstallerType", ""), "exe");
  EXPECT_EQ(installer.value("Scope", ""), "user");
  for (const nlohmann::json& mode : installer["InstallModes"]) EXPECT_TRUE(kInstallModes.count(mode.get<std::string>()));
  const nlohmann::json& switches = installer["InstallerSwitches"];
  expect_fields(switches, kSwitchFields, {"Silent", "SilentWithProgress", "InstallLocation", "Log"}, "InstallerSwitches");
  EXPECT_EQ(switches.value("Silent", ""), "--silent-install --no-launch");
  EXPECT_EQ(switches.value("InstallLocation", ""), "--install-dir \"<INSTALLPATH>\"");
  EXPECT_EQ(switches.value("Log", ""), "--log \"<LOGPATH>\"");
  std::map<int, std::string> codes;
  for (const nlohmann::json& code : installer["ExpectedReturnCodes"]) {
    ASSERT_TRUE(code["InstallerReturnCode"].is_number_integer());
    EXPECT_TRUE(kReturnResponses.count(code.value("ReturnResponse", "")));
    codes[code["InstallerReturnCode"].get<int>()] = code.value("ReturnResponse", "");
  }
  EXPECT_EQ(codes.size(), 2u);
  EXPECT_TRUE(codes.count(2) && codes.count(3)) << "0 succeeds by default; 2 and 3 are the silent install's failures";
  ASSERT_EQ(installer["Installers"].size(), 1u);
  const nlohmann::json& setup = installer["Installers"][0];
  EXPECT_EQ(setup.value("Architecture", ""), "x64");
  EXPECT_EQ(setup.value("InstallerUrl", ""), "https://updates.example.org/pkgs/Morvell-Setup-6.1.17.exe");
  std::string digest = setup.value("InstallerSha256", "");
  EXPECT_TRUE(std::regex_match(digest, std::regex("^[A-Fa-f0-9]{64}$")));
  for (char& c : digest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(digest, sha256_of(root + "/pkgs/Morvell-Setup-6.1.17.exe"));
}
