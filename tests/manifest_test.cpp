// The release manifest: member rules, the catalogue built from documents served by a real
// HTTPS server on 127.0.0.1, and the version list of the online window.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/installer_window_gtk.h"
#include "app/ui.h"
#include "app/window.h"
#include "catalogue/manifest.h"
#include "catalogue/messages.h"
#include "common/state.h"
#include "support/helpers.h"
#include "support/https_fixture.h"
#include "support/manifest_fixture.h"

// This program's own update server is a loopback one, so that the window's version list can be
// filled from a server that the test runs (the values below replace the program's defaults).
#undef MORVELL_UPDATE_SERVER
#define MORVELL_UPDATE_SERVER "https://127.0.0.1:47451///"
#include "common/state.cpp"

using namespace testing_support;
using nlohmann::json;

namespace {

const int kOwnServerPort = 47451;

}  // namespace

TEST(ManifestMembers, StringMembersSizesNotesAndUrls) {
  json value = json::parse(R"({"version": "2.0", "file_name": 7, "download_url": null, "sha256": ["x"],
      "channel": {"a": 1}, "kind": true, "release_notes": 5, "comments": "from comments", "size": 12.9,
      "Version": "9.9"})");
  EXPECT_EQ(json_string_member(value, "version"), "2.0");
  EXPECT_EQ(json_string_member(value, "file_name"), "");
  EXPECT_EQ(json_string_member(value, "missing"), "");
  EXPECT_EQ(json_string_member(json::array({"version"}), "version"), "");
  EXPECT_EQ(json_string_member(json("version"), "version"), "");
  ReleaseEntry e = parse_release_entry(value);
  EXPECT_EQ(e.version, "2.0");   // member names are case-sensitive: "Version" is another member
  EXPECT_EQ(e.file_name, "");
  EXPECT_EQ(e.download_url, "");
  EXPECT_EQ(e.sha256, "");
  EXPECT_EQ(e.channel, "");
  EXPECT_EQ(e.kind, "");
  EXPECT_EQ(e.release_notes, "from comments");   // a number counts as absent
  EXPECT_EQ(e.size, 12u);

  auto size_of = [](const char* text) { return parse_release_entry(json::parse(text)).size; };
  EXPECT_EQ(size_of(R"({"size": "12"})"), 0u);
  EXPECT_EQ(size_of(R"({"size": 18446744073709551615})"), 18446744073709551615ull);
  EXPECT_EQ(size_of(R"({"size": -1})"), 18446744073709551615ull);   // a signed value as its 64 bits
  EXPECT_EQ(size_of(R"({"size": -2.7})"), static_cast<uint64_t>(-2));
  EXPECT_EQ(size_of(R"({"size": 1e300})"), 0u);                     // no 64-bit value holds it
  EXPECT_EQ(size_of(R"({"size": true})"), 0u);
  EXPECT_EQ(size_of(R"({"size": null})"), 0u);

  e = parse_release_entry(json::parse(R"({"release_notes": "", "comments": "c"})"));
  EXPECT_EQ(e.release_notes, "c");
  e = parse_release_entry(json::parse(R"({"release_notes": "line 1\n  line 2", "comments": "c"})"));
  EXPECT_EQ(e.release_notes, "line 1\n  line 2");
  e = parse_release_entry(json::parse("[1, 2]"));
  EXPECT_EQ(e.version, "");
  EXPECT_EQ(e.size, 0u);

  EXPECT_EQ(join_url("https://h", "/updates/releases.json"), "https://h/updates/releases.json");
  EXPECT_EQ(join_url("https://h///", "///updates/x"), "https://h/updates/x");
  EXPECT_EQ(join_url("https://h\\/\\", "updates/x"), "https://h/updates/x");
  EXPECT_EQ(join_url("", "/x"), "/x");
  EXPECT_EQ(join_url("https://h", ""), "https://h/");
}

TEST(ManifestMembers, PrimaryBodiesSortedIntoPortableAndInstallerLists) {
  std::vector<ReleaseEntry> portable, installers;
  collect_release_entries(
      releases({entry("2.0", "portable", "a"), entry("1.9", "-"), entry("2.0", "", "b"), entry("3.0", "installer"),
                entry("3.0", "installer", "c"), entry("2.9", "installer"), entry("1.0", "Portable"),
                entry("1.1", "INSTALLER"), entry("1.2", "beta"), entry("0.9", "portable", ""),
                R"({"version": "0.8", "kind": "portable", "download_url": 5})", "17", "null", "[]",
                R"({"download_url": "u/none-1"})", R"({"download_url": "u/none-2"})", R"({"version": "", "download_url": "u/none-3"})"}),
      portable, installers);
  std::vector<std::string> p, i;
  for (const ReleaseEntry& e : portable) p.push_back(e.version + "@" + e.download_url);
  for (const ReleaseEntry& e : installers) i.push_back(e.version + "@" + e.download_url);
  EXPECT_EQ(p, (std::vector<std::string>{"2.0@a/2.0", "1.9@u/1.9", "@u/none-1"}));
  EXPECT_EQ(i, (std::vector<std::string>{"3.0@u/3.0", "2.9@u/2.9"}));

  for (const char* unusable : {"[" "{\"version\":\"1\",\"download_url\":\"u\"}" "]", "\"text\"", "{", "",
                               "{\"releases\": {\"a\": {\"version\":\"1\",\"download_url\":\"u\"}}}",
                               "{\"releases\": []} trailing", "// note\n{\"releases\": []}",
                               "{\"releases\": [{\"version\":\"1\",\"download_url\":\"u\"}]} /* c */"}) {
    portable.clear();
    installers.clear();
    collect_release_entries(unusable, portable, installers);
    EXPECT_TRUE(portable.empty() && installers.empty()) << unusable;
  }
}

TEST_F(ManifestTest, CatalogueFromThePrimaryDocument) {
  std::wstring error;
  serve("releases.json", releases({entry("2.0", "portable", "first"), entry("1.9", ""), entry("2.0", "portable", "second"),
                                   entry("3.0", "installer")}));
  serve("latest-portable.json", entry("9.9", "portable"));
  release_catalogue.selected = 7;
  EXPECT_TRUE(load(error));
  EXPECT_EQ(error, L"");
  EXPECT_EQ(versions(), (std::vector<std::string>{"2.0", "1.9"}));
  EXPECT_EQ(release_catalogue.entries[0].download_url, "first/2.0");
  EXPECT_EQ(release_catalogue.selected, 7) << "the load leaves the selection alone";

  // Installer entries only when no portable entry qualifies, in manifest order.
  serve("releases.json", releases({entry("3.0", "installer"), entry("1.0", "Portable"), entry("2.5", "installer"),
                                   entry("3.0", "installer", "again"), entry("1.1", "portable", "")}));
  EXPECT_TRUE(load(error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"3.0", "2.5"}));
  EXPECT_EQ(release_catalogue.entries[0].kind, "installer");

  // A base with trailing slashes, and the scheme in capitals.
  serve("releases.json", releases({entry("4.0", "")}));
  EXPECT_TRUE(load_release_catalogue_from(server.base_url() + "///", error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"4.0"}));
  std::string upper = "HTTPS" + server.base_url().substr(5);
  EXPECT_TRUE(load_release_catalogue_from(upper + "\\", error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"4.0"}));

  // Only HTTPS: the catalogue is left as it was.
  error.clear();
  EXPECT_FALSE(load_release_catalogue_from(server.plain_url(""), error));
  EXPECT_EQ(error, kListNotHttps);
  EXPECT_EQ(versions(), (std::vector<std::string>{"4.0"}));
  for (const char* base : {"https:/", "https:///", "", "ftp://127.0.0.1"}) {
    error.clear();
    EXPECT_FALSE(load_release_catalogue_from(base, error)) << base;
    EXPECT_EQ(error, kListNotHttps) << base;
  }
}

TEST_F(ManifestTest, FallbackDocument) {
  std::wstring error;
  serve("latest-portable.json",
        R"({"version": "5.0", "kind": "installer", "download_url": "https://x/5.zip", "release_notes": "n"})");
  // Every unusable primary leads to the fallback without a message of its own.
  for (const std::string& primary :
       {std::string("[") + entry("1.0", "") + "]", std::string("\"releases\""), std::string("{not json"),
        std::string("{\"releases\": {\"x\": ") + entry("1.0", "") + "}}", releases({entry("1.0", "Portable")}),
        releases({}), std::string("{\"releases\": []} extra"), std::string()}) {
    serve("releases.json", primary);
    error = L"stale";
    EXPECT_TRUE(load(error)) << primary;
    EXPECT_EQ(error, L"") << primary;
    ASSERT_EQ(versions(), (std::vector<std::string>{"5.0"})) << primary;
    EXPECT_EQ(release_catalogue.entries[0].kind, "portable") << "the fallback's kind does not count";
    EXPECT_EQ(release_catalogue.entries[0].release_notes, "n");
  }
  withdraw("releases.json");   // 404 on the primary
  error = L"stale";
  EXPECT_TRUE(load(error));
  EXPECT_EQ(error, L"");
  EXPECT_EQ(versions(), (std::vector<std::string>{"5.0"}));

  // The fallback's own failures are the ones shown.
  serve("latest-portable.json", "{\"version\": \"5.0\",");
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, kListUnparsable);
  EXPECT_TRUE(release_catalogue.entries.empty());
  serve("latest-portable.json", R"({"version": "5.0", "download_url": ""})");
  error = L"stale";
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, L"");
  serve("latest-portable.json", R"(["not", "an", "entry"])");
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, L"");
  withdraw("latest-portable.json");
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, L"服务器返回 HTTP 404");

  // A server this program does not trust.
  serve("releases.json", releases({entry("1.0", "")}));
  setenv("SSL_CERT_FILE", "/nonexistent/ca.pem", 1);
  EXPECT_FALSE(load(error));
  setenv("SSL_CERT_FILE", server.ca_file().c_str(), 1);
  EXPECT_EQ(error, kRequestFailed);

  // Documents nested a million deep (2 MB) neither crash nor change the rules: a deep member
  // beside usable releases is ignored, a deep "releases" leads to the fallback, a deep fallback
  // has no entry, and an unterminated one is a parse error.
  const size_t depth = 1000000;
  const std::string deep = std::string(depth, '[') + std::string(depth, ']');
  serve("releases.json", "{\"x\": " + deep + ", \"releases\": [" + entry("1.0", "") + "], \"y\": " + deep + "}");
  EXPECT_TRUE(load(error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"1.0"}));
  serve("releases.json", "{\"releases\": " + deep + "}");
  serve("latest-portable.json", R"({"version": "5.0", "download_url": "u/5", "notes": )" + deep + "}");
  EXPECT_TRUE(load(error));
  EXPECT_EQ(versions(), (std::vector<std::string>{"5.0"}));
  serve("latest-portable.json", deep);
  error = L"stale";
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, L"");
  serve("latest-portable.json", "{\"a\": " + std::string(depth, '['));
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, kListUnparsable);
  EXPECT_TRUE(release_catalogue.entries.empty());
}

namespace {

bool toolkit_started() {
  static int started = -1;
  if (started < 0) {
    int argc = 1;
    char name[] = "test_manifest";
    char* args[] = {name, nullptr};
    char** argv = args;
    started = std::getenv("DISPLAY") && gtk_init_check(&argc, &argv) ? 1 : 0;
  }
  return started == 1;
}

std::vector<std::string> combo_lines() {
  std::vector<std::string> lines;
  if (!installer_window.version_combo) return lines;
  GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(installer_window.version_combo));
  GtkTreeIter it;
  for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok; ok = gtk_tree_model_iter_next(model, &it)) {
    gchar* text = nullptr;
    gtk_tree_model_get(model, &it, 0, &text, -1);
    lines.push_back(text ? text : "");
    g_free(text);
  }
  return lines;
}

std::string notes_text() {
  if (!installer_window.notes_buffer) return "(no window)";
  GtkTextIter a, b;
  gtk_text_buffer_get_bounds(installer_window.notes_buffer, &a, &b);
  gchar* text = gtk_text_buffer_get_text(installer_window.notes_buffer, &a, &b, FALSE);
  std::string out = text ? text : "";
  g_free(text);
  return out;
}

// A fresh online window (when a display exists) and catalogue, then the start-up fill.
void fill_fresh(bool window) {
  if (installer_window.window) gtk_widget_destroy(installer_window.window);
  while (window && gtk_events_pending()) gtk_main_iteration();
  release_catalogue = ReleaseCatalogue();
  ui_trace = UiTrace();
  run_mode = RunMode::Online;
  if (window) build_installer_window();
  EXPECT_FALSE(fill_version_list());
}

}  // namespace

// The program's own start-up fill of the version list, against its compiled-in server address.
TEST(VersionList, FilledFromTheProgramsOwnServer) {
  TempDir www;
  HttpsServer server(www.path(), kOwnServerPort);
  if (!server.running()) GTEST_SKIP() << "port " << kOwnServerPort << " is taken";
  const bool window = toolkit_started();
  auto serve = [&](const char* name, const std::string& text) { write_text(www / ("updates/" + std::string(name)), text); };

  serve("releases.json", releases({R"({"download_url": "u/a", "release_notes": "first notes"})",
                                   R"({"version": "1.9", "download_url": "u/b"})",
                                   R"({"download_url": "u/c", "release_notes": "dropped"})"}));
  fill_fresh(window);
  EXPECT_EQ(ui_trace.last_status, kChooseVersion);
  ASSERT_EQ(release_catalogue.entries.size(), 2u);
  EXPECT_EQ(release_catalogue.selected, 0);
  if (window) {
    EXPECT_EQ(combo_lines(), (std::vector<std::string>{"未知版本", "1.9"}));
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(installer_window.version_combo)), 0);
    EXPECT_EQ(notes_text(), "first notes");
    gtk_combo_box_set_active(GTK_COMBO_BOX(installer_window.version_combo), 1);   // no notes
    EXPECT_EQ(release_catalogue.selected, 1);
    EXPECT_EQ(notes_text(), "暂无版本说明。");
    gtk_combo_box_set_active(GTK_COMBO_BOX(installer_window.version_combo), 0);
    EXPECT_EQ(notes_text(), "first notes");
    release_catalogue.selected = 5;   // past the end counts as no selection
    show_release_notes();
    EXPECT_EQ(notes_text(), "暂无版本说明。");
  }

  // Failures: the fallback's message, the parse message, the fixed text when nothing is left.
  run_shell("rm -rf '" + www / "updates" + "'");
  fill_fresh(window);
  EXPECT_EQ(ui_trace.last_status, L"服务器返回 HTTP 404");
  EXPECT_EQ(release_catalogue.selected, -1);
  if (window) {
    EXPECT_TRUE(combo_lines().empty());
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(installer_window.version_combo)), -1);
  }
  serve("latest-portable.json", "not json");
  fill_fresh(window);
  EXPECT_EQ(ui_trace.last_status, kListUnparsable);
  serve("latest-portable.json", std::string(1000000, '['));   // deep and unterminated
  fill_fresh(window);
  EXPECT_EQ(ui_trace.last_status, kListUnparsable);
  EXPECT_EQ(release_catalogue.selected, -1);
  if (window) {
    EXPECT_TRUE(combo_lines().empty());
    EXPECT_EQ(notes_text(), "正在读取版本说明...");   // as the window was built
  }
  serve("latest-portable.json", R"({"version": "1.0"})");
  fill_fresh(window);
  EXPECT_EQ(ui_trace.last_status, kListUnreadable);
  serve("latest-portable.json", R"({"version": "1.0", "download_url": "u/1", "kind": "installer"})");
  fill_fresh(window);
  EXPECT_EQ(ui_trace.last_status, kChooseVersion);
  EXPECT_EQ(release_catalogue.selected, 0);
  if (window) {
    EXPECT_EQ(combo_lines(), (std::vector<std::string>{"1.0"}));
    EXPECT_EQ(notes_text(), "暂无版本说明。");
    gtk_widget_destroy(installer_window.window);
    while (gtk_events_pending()) gtk_main_iteration();
  }
}
