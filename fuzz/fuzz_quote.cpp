// Quoting for a child's command line: whatever the arguments hold, the Windows splitter must
// give them back exactly, alone or several in a row; and a PowerShell literal must read back as
// the text it was made of.
#include "common/strings.h"
#include "fuzz_support.h"
#include "platform/platform.h"

static bool single_quote(wchar_t c) { return c == L'\'' || c == 0x2018 || c == 0x2019 || c == 0x201A || c == 0x201B; }

// Reads a PowerShell single-quoted literal as the shell does: any single-quote character opens and
// closes it, and two of them in a row inside stand for the first. The literal must fill the text.
static std::wstring powershell_literal_value(const std::wstring& literal) {
  FUZZ_CHECK(!literal.empty() && single_quote(literal[0]));
  std::wstring value;
  size_t i = 1;
  for (;;) {
    FUZZ_CHECK(i < literal.size());   // never left open
    if (single_quote(literal[i])) {
      if (i + 1 < literal.size() && single_quote(literal[i + 1])) {
        value.push_back(literal[i]);
        i += 2;
        continue;
      }
      FUZZ_CHECK(i + 1 == literal.size());   // closed at the very end
      return value;
    }
    value.push_back(literal[i++]);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::wstring> args;
  for (const std::string& part : split_at_zero(data, size)) args.push_back(plat::utf8_to_wide(part));
  if (args.size() > 32) return 0;
  std::wstring line;
  for (const std::wstring& arg : args) {
    std::wstring quoted = plat::quote_argument(arg);
    std::vector<std::wstring> back = plat::split_command_line(quoted);
    FUZZ_CHECK(back.size() == 1);
    FUZZ_CHECK(back[0] == arg);
    if (!line.empty()) line += L" ";
    line += quoted;
  }
  FUZZ_CHECK(plat::split_command_line(line) == args);
  // Any run of blanks (spaces and tabs) between, before and after the quoted arguments.
  static const wchar_t* const kBlanks[] = {L" ", L"\t", L"  ", L" \t ", L"\t\t"};
  std::wstring spaced = kBlanks[size % 5];
  for (size_t i = 0; i < args.size(); ++i) spaced += plat::quote_argument(args[i]) + kBlanks[(i + args[i].size()) % 5];
  FUZZ_CHECK(plat::split_command_line(spaced) == args);
  // Units that no UTF-8 text gives (stray quotes and backslashes after any code point).
  std::wstring raw = raw_wide(data, size);
  std::vector<std::wstring> one = plat::split_command_line(plat::quote_argument(raw));
  FUZZ_CHECK(one.size() == 1 && one[0] == raw);
  (void)plat::split_command_line(plat::utf8_to_wide(std::string(reinterpret_cast<const char*>(data), size)));
  FUZZ_CHECK(powershell_literal_value(plat::quote_powershell_literal(raw)) == raw);
  for (const std::wstring& arg : args) FUZZ_CHECK(powershell_literal_value(plat::quote_powershell_literal(arg)) == arg);
  return 0;
}
