// Quoting for a child's command line: whatever the arguments hold, the Windows splitter must
// give them back exactly, alone or several in a row.
#include "common/strings.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::wstring> args;
  for (const std::string& part : split_at_zero(data, size)) args.push_back(utf8_to_wide(part));
  if (args.size() > 32) return 0;
  std::wstring line;
  for (const std::wstring& arg : args) {
    std::wstring quoted = quote_argument(arg);
    std::vector<std::wstring> back = split_command_line(quoted);
    FUZZ_CHECK(back.size() == 1);
    FUZZ_CHECK(back[0] == arg);
    if (!line.empty()) line += L" ";
    line += quoted;
  }
  FUZZ_CHECK(split_command_line(line) == args);
  // Any run of blanks (spaces and tabs) between, before and after the quoted arguments.
  static const wchar_t* const kBlanks[] = {L" ", L"\t", L"  ", L" \t ", L"\t\t"};
  std::wstring spaced = kBlanks[size % 5];
  for (size_t i = 0; i < args.size(); ++i) spaced += quote_argument(args[i]) + kBlanks[(i + args[i].size()) % 5];
  FUZZ_CHECK(split_command_line(spaced) == args);
  // Units that no UTF-8 text gives (stray quotes and backslashes after any code point).
  std::wstring raw = raw_wide(data, size);
  std::vector<std::wstring> one = split_command_line(quote_argument(raw));
  FUZZ_CHECK(one.size() == 1 && one[0] == raw);
  (void)split_command_line(utf8_to_wide(std::string(reinterpret_cast<const char*>(data), size)));
  (void)quote_powershell_literal(raw);
  return 0;
}
