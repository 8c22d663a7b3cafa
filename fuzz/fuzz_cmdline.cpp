// The command line: the input, cut at zero bytes, is the argument vector after the program
// name. Flags and values are looked up and held against a plain reading of the option rules,
// the directory is cleaned, and the settled options must follow from the arguments.
#include <algorithm>
#include <cwctype>

#include "app/cmdline.h"
#include "common/state.h"
#include "common/strings.h"
#include "platform/platform.h"
#include "fuzz_support.h"

static const char* const kNames[] = {"--offline", "--uninstall", "--update", "--package", "--install-dir",
                                     "--no-desktop-shortcut", "--no-start-menu-shortcut", "--no-launch",
                                     "--silent-install"};

// The option rules, read literally: the argument after the exact name (when there is one), or
// the text after "name="; the first argument that matches decides.
static std::string expected_value(const std::vector<std::string>& texts, const std::string& name) {
  for (size_t i = 1; i < texts.size(); ++i) {
    if (texts[i] == name && i + 1 < texts.size()) return texts[i + 1];
    if (texts[i].size() > name.size() && texts[i].compare(0, name.size(), name) == 0 && texts[i][name.size()] == '=')
      return texts[i].substr(name.size() + 1);
  }
  return std::string();
}

// An absolute path with no empty, "." or ".." piece and no separator at its end (but "/" itself).
static bool lexically_plain(const std::string& path) {
  if (path == "/") return true;
  if (path.empty() || path[0] != '/' || path.back() == '/') return false;
  for (size_t at = 1; at <= path.size();) {
    const size_t end = std::min(path.find('/', at), path.size());
    const std::string piece = path.substr(at, end - at);
    if (piece.empty() || piece == "." || piece == "..") return false;
    at = end + 1;
  }
  return true;
}

static bool blank(wchar_t c) { return std::iswspace(static_cast<wint_t>(c)) != 0; }

// Trim blanks, drop one pair of enclosing quotes, drop trailing separators while longer than 3.
static void check_clean(const std::wstring& input) {
  std::wstring out = clean_path_input(input);
  size_t begin = 0, end = input.size();
  while (begin < end && blank(input[begin])) ++begin;
  while (end > begin && blank(input[end - 1])) --end;
  if (end - begin >= 2 && input[begin] == L'"' && input[end - 1] == L'"') ++begin, --end;
  while (end - begin > 3 && is_separator(input[end - 1])) --end;
  FUZZ_CHECK(out == input.substr(begin, end - begin));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts = split_at_zero(data, size);
  if (parts.size() > 64) return 0;
  std::vector<std::string> texts{"morvell-installer"};
  texts.insert(texts.end(), parts.begin(), parts.end());
  std::vector<char*> argv;
  for (std::string& t : texts) argv.push_back(&t[0]);
  argv.push_back(nullptr);
  int argc = static_cast<int>(texts.size());

  for (const char* name : kNames) {
    bool listed = false;
    for (size_t i = 1; i < texts.size(); ++i) listed = listed || texts[i] == name;
    FUZZ_CHECK(has_flag(argc, argv.data(), name) == listed);
    FUZZ_CHECK(option_value(argc, argv.data(), name) == expected_value(texts, name));
  }
  // Names that are not options at all, taken from the input: the same rules hold.
  if (!parts.empty() && !parts[0].empty()) {
    FUZZ_CHECK(option_value(argc, argv.data(), parts[0].c_str()) == expected_value(texts, parts[0]));
  }
  // A null argument counts as empty text.
  if (argc > 2) {
    char* saved = argv[argc - 1];
    argv[argc - 1] = nullptr;
    std::vector<std::string> with_empty = texts;
    with_empty.back().clear();
    for (const char* name : kNames) {
      FUZZ_CHECK(option_value(argc, argv.data(), name) == expected_value(with_empty, name));
      bool listed = false;
      for (size_t i = 1; i < with_empty.size(); ++i) listed = listed || with_empty[i] == name;
      FUZZ_CHECK(has_flag(argc, argv.data(), name) == listed);
    }
    argv[argc - 1] = saved;
  }
  for (size_t i = 1; i < texts.size(); ++i) check_clean(plat::utf8_to_wide(texts[i]));
  check_clean(raw_wide(data, size));

  run_mode = RunMode::Online;
  install_options = InstallOptions();
  settle_options(argc, argv.data());
  auto flag = [&](const char* name) { return has_flag(argc, argv.data(), name); };
  // Later flags override earlier ones: --update beats --uninstall, which beats --offline.
  const RunMode mode = flag("--update")      ? RunMode::Update
                       : flag("--uninstall") ? RunMode::Uninstall
                       : flag("--offline")   ? RunMode::Offline
                                             : RunMode::Online;
  FUZZ_CHECK(run_mode == mode);
  FUZZ_CHECK(install_options.package_path == expected_value(texts, "--package"));
  std::string dir = expected_value(texts, "--install-dir");
  if (!dir.empty()) {
    // Cleaned, then made absolute against the current directory; the bytes of the name kept.
    // Lexically normal too: no empty, "." or ".." piece is left in it.
    const std::wstring cleaned = clean_path_input(plat::utf8_to_wide(dir));
    FUZZ_CHECK(install_options.install_dir == plat::wide_to_utf8(plat::absolute_path(cleaned)));
    if (!cleaned.empty()) {
      FUZZ_CHECK(install_options.install_dir[0] == '/');
      FUZZ_CHECK(lexically_plain(install_options.install_dir));
    }
    if (cleaned == plat::utf8_to_wide(dir) && dir[0] == '/' && lexically_plain(dir)) FUZZ_CHECK(install_options.install_dir == dir);
  }
  FUZZ_CHECK(install_options.desktop_shortcut == !flag("--no-desktop-shortcut"));
  FUZZ_CHECK(install_options.start_menu_shortcut == !flag("--no-start-menu-shortcut"));
  FUZZ_CHECK(install_options.launch_after_install == !flag("--no-launch"));
  return 0;
}
