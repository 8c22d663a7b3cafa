// The publisher's release tool: keeps the tree an update server publishes and checks the server.
//   morvell-release add       a package into DIR/pkgs/ and its entry into both lists, signed
//   morvell-release offline   the offline installer of a listed release, listed as an installer
//   morvell-release check     what a keyed installer would meet on a server (or in a tree)
//   morvell-release winget    a Windows package manager manifest set for an offline installer
#include <cstdio>
#include <set>
#include <string>

#include "release_tree.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: morvell-release add --root DIR --package FILE --version V --base-url URL\n"
               "                           [--kind portable|installer] [--notes FILE] [--channel NAME]\n"
               "                           [--private KEY.pem] [--expires WHEN] [--replace]\n"
               "       morvell-release offline --root DIR --installer PROGRAM --version V\n"
               "                               [--private KEY.pem] [--expires WHEN] [--replace] [--no-list]\n"
               "       morvell-release check URL-or-DIR [--public BASE64]... [--download]\n"
               "       morvell-release winget --root DIR --version V --publisher NAME --package-id ID\n"
               "                              [--license TEXT] [--description TEXT] [--output DIR]\n"
               "WHEN is YYYY-MM-DDTHH:MM:SSZ (UTC), a number of days such as 90d, or never.\n");
  return 2;
}

struct Command {
  const char* name;
  int (*run)(const Options&);
  std::set<std::string> values;   // options that take a value
  std::set<std::string> flags;
  size_t words;                   // plain arguments
};

const Command kCommands[] = {
    {"add", run_add,
     {"--root", "--package", "--version", "--base-url", "--kind", "--notes", "--channel", "--private", "--expires"},
     {"--replace"}, 0},
    {"offline", run_offline, {"--root", "--installer", "--version", "--private", "--expires"}, {"--replace", "--no-list"}, 0},
    {"check", run_check, {"--public"}, {"--download"}, 1},
    {"winget", run_winget,
     {"--root", "--version", "--publisher", "--package-id", "--license", "--description", "--output"}, {}, 0},
};

bool read_options(const Command& command, int argc, char** argv, Options& out) {
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (command.flags.count(word)) {
      out.values[word].push_back("");
    } else if (command.values.count(word) && i + 1 < argc) {
      out.values[word].push_back(argv[++i]);
    } else if (word.compare(0, 2, "--") != 0 && out.words.size() < command.words) {
      out.words.push_back(word);
    } else {
      return false;
    }
  }
  return out.words.size() == command.words;
}

}  // namespace

std::string Options::value(const char* name) const {
  auto it = values.find(name);
  return it == values.end() || it->second.empty() ? std::string() : it->second.back();
}

bool Options::has(const char* name) const { return values.count(name) != 0; }

int tool_fail(const std::string& message) {
  std::fprintf(stderr, "morvell-release: %s\n", message.c_str());
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  for (const Command& command : kCommands) {
    if (command.name != std::string(argv[1])) continue;
    Options options;
    if (!read_options(command, argc, argv, options)) return usage();
    return command.run(options);
  }
  return usage();
}
