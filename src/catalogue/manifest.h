// The release manifest on the update server and the catalogue of releases built from it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/state.h"

std::string json_string_member(const nlohmann::json& value, const char* key);   // "" unless a string member
ReleaseEntry parse_release_entry(const nlohmann::json& value);                   // never fails
std::string join_url(const std::string& base, const std::string& path);          // exactly one "/" between
// Adds the entries of a primary manifest body to the catalogue (and installer list) by the kind rules;
// an unusable body adds nothing.
void collect_release_entries(const std::string& body, std::vector<ReleaseEntry>& portable,
                             std::vector<ReleaseEntry>& installers);
void collect_parsed_release_entries(const nlohmann::json& document, std::vector<ReleaseEntry>& portable,
                                    std::vector<ReleaseEntry>& installers);   // the same for a parsed body
// True when the catalogue holds an entry. With release keys compiled in, each list must carry a
// good signature (`.sig` beside it) and must not have expired, or it counts as not loaded.
bool load_release_catalogue(std::wstring& error);
// The same load from the server at `base` (the program itself always uses update_server_base).
bool load_release_catalogue_from(const std::string& base, std::wstring& error);
bool fill_version_list();                           // online idle callback; always false
void show_release_notes();                          // selected entry's notes into the notes view
