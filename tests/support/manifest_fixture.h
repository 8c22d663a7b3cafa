// Release lists served by a real HTTPS server on 127.0.0.1, and the catalogue loaded from them.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "catalogue/manifest.h"
#include "common/state.h"
#include "support/helpers.h"
#include "support/https_fixture.h"

namespace testing_support {

inline std::vector<std::string> versions() {
  std::vector<std::string> out;
  for (const ReleaseEntry& e : release_catalogue.entries) out.push_back(e.version);
  return out;
}

inline std::string entry(const std::string& version, const std::string& kind, const std::string& url = "u") {
  nlohmann::json e = {{"version", version}, {"download_url", url.empty() ? url : url + "/" + version}};
  if (kind != "-") e["kind"] = kind;
  return e.dump();
}

inline std::string releases(const std::vector<std::string>& items) {
  std::string out = "{\"releases\": [";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out + "]}";
}

class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running()) << "the loopback HTTPS server did not start";
    release_catalogue = ReleaseCatalogue();
  }
  void serve(const char* name, const std::string& content) { write_text(www / ("updates/" + std::string(name)), content); }
  void withdraw(const char* name) { run_shell("rm -f '" + www / ("updates/" + std::string(name)) + "'"); }
  bool load(std::wstring& error) { return load_release_catalogue_from(server.base_url(), error); }

  TempDir www;
  HttpsServer server{www.path()};
};

}  // namespace testing_support
