// Helpers shared by the benchmarks: shell commands and the large test package.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace bench {

inline int shell(const std::string& command) { return std::system(command.c_str()); }

// The command line of a bench: [megabytes=200] [files=5000] [rounds] [work directory=$TMPDIR].
struct Arguments {
  uint64_t megabytes = 200;
  unsigned files = 5000;
  int rounds = 3;
  std::string base;
};
inline Arguments arguments(int argc, char** argv, int rounds) {
  Arguments a;
  if (argc > 1) a.megabytes = std::strtoull(argv[1], nullptr, 10);
  if (argc > 2) a.files = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  a.rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : rounds;
  const char* tmp = std::getenv("TMPDIR");
  a.base = argc > 4 ? argv[4] : tmp && *tmp ? tmp : "/tmp";
  return a;
}

inline std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out.push_back(c);
  }
  return out + "'";
}

inline bool write_file(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// A package of `files` incompressible files (`megabytes` in all) in folders of 100, plus the
// program and a configuration, zipped with the zip tool.
inline bool make_package(const std::string& root, uint64_t megabytes, unsigned files, const std::string& zip) {
  const std::string tree = root + "/tree";
  std::mt19937_64 random(7);
  const size_t per_file = static_cast<size_t>(megabytes * 1024 * 1024 / files);
  std::string bytes(per_file, '\0');
  for (unsigned i = 0; i < files; ++i) {
    char folder[64], name[64];
    std::snprintf(folder, sizeof folder, "/data/d%03u", i / 100);
    std::snprintf(name, sizeof name, "/f%05u.bin", i);
    if (i % 100 == 0 && shell("mkdir -p " + quoted(tree + folder)) != 0) return false;
    for (size_t k = 0; k + 8 <= bytes.size(); k += 8) {
      uint64_t v = random();
      std::copy(reinterpret_cast<const char*>(&v), reinterpret_cast<const char*>(&v) + 8, &bytes[k]);
    }
    if (!write_file(tree + folder + name, bytes)) return false;
  }
  if (shell("mkdir -p " + quoted(tree + "/bin") + " " + quoted(tree + "/config")) != 0) return false;
  if (shell("cp /bin/true " + quoted(tree + "/bin/Morvell.exe")) != 0) return false;
  if (!write_file(tree + "/config/settings.ini", "[general]\n")) return false;
  bool ok = shell("cd " + quoted(tree) + " && zip -q -r -1 " + quoted(zip) + " .") == 0;
  shell("rm -rf " + quoted(tree));
  return ok;
}

}  // namespace bench
