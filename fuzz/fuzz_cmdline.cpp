// The command line: the input, cut at zero bytes, is the argument vector after the program
// name. Flags and values are looked up, the directory is cleaned and the options are settled.
#include <cwctype>

#include "app/cmdline.h"
#include "common/state.h"
#include "common/strings.h"
#include "fuzz_support.h"

static const char* const kNames[] = {"--offline", "--uninstall", "--update", "--package", "--install-dir",
                                     "--no-desktop-shortcut", "--no-start-menu-shortcut", "--no-launch",
                                     "--silent-install"};

static void check_clean(const std::wstring& input) {
  std::wstring out = clean_path_input(input);
  FUZZ_CHECK(out.size() <= input.size());
  FUZZ_CHECK(input.find(out) != std::wstring::npos);        // only cut at the ends
  if (out.size() > 3) FUZZ_CHECK(!is_separator(out.back()));
  bool blanks_only = true;
  for (wchar_t c : input) blanks_only = blanks_only && std::iswspace(static_cast<wint_t>(c));
  if (blanks_only) FUZZ_CHECK(out.empty());
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
    bool flag = has_flag(argc, argv.data(), name);
    bool listed = false;
    for (size_t i = 1; i < texts.size(); ++i) listed = listed || texts[i] == name;
    FUZZ_CHECK(flag == listed);
    std::string value = option_value(argc, argv.data(), name);
    if (!value.empty()) {
      // The value is a whole argument or the end of one.
      bool seen = false;
      for (size_t i = 1; i < texts.size() && !seen; ++i)
        seen = texts[i] == value || (texts[i].size() > value.size() &&
                                     texts[i].compare(texts[i].size() - value.size(), value.size(), value) == 0);
      FUZZ_CHECK(seen);
    }
  }
  for (size_t i = 1; i < texts.size(); ++i) check_clean(utf8_to_wide(texts[i]));
  check_clean(raw_wide(data, size));

  run_mode = "online";
  update_mode = false;
  install_options = InstallOptions();
  settle_options(argc, argv.data());
  FUZZ_CHECK(run_mode == "online" || run_mode == "offline" || run_mode == "uninstall");
  if (update_mode) FUZZ_CHECK(run_mode == "offline");
  return 0;
}
