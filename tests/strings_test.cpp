#include <gtest/gtest.h>

#include "common/strings.h"
#include "platform/platform.h"
#include "support/helpers.h"

using testing_support::U;
using testing_support::W;

TEST(Strings, PathPiecesFollowTheDesignedExamples) {
  EXPECT_EQ(parent_path(L"C:\\Apps\\X"), L"C:\\Apps");
  EXPECT_EQ(parent_path(L"C:\\Apps\\X\\"), L"C:\\Apps\\X");
  EXPECT_EQ(parent_path(L"C:\\X"), L"C:");
  EXPECT_EQ(parent_path(L"\\X"), L"\\");
  EXPECT_EQ(parent_path(L"/usr"), L"/");
  EXPECT_EQ(parent_path(L"X"), L".");
  EXPECT_EQ(parent_path(L""), L".");
  EXPECT_EQ(parent_path(L"a/b\\c"), L"a/b");
  EXPECT_EQ(file_name_of(L"C:\\Apps\\X"), L"X");
  EXPECT_EQ(file_name_of(L"C:\\Apps\\X\\"), L"");
  EXPECT_EQ(file_name_of(L"X"), L"X");
  EXPECT_EQ(file_name_of(L"/opt/m/bin"), L"bin");
}

TEST(Strings, CleanPathInputTrimsQuotesAndTrailingSeparators) {
  EXPECT_EQ(clean_path_input(L"  C:\\Apps\\X\\\t"), L"C:\\Apps\\X");
  EXPECT_EQ(clean_path_input(L"\"C:\\Apps\\X\\\""), L"C:\\Apps\\X");
  EXPECT_EQ(clean_path_input(L"C:\\"), L"C:\\");
  EXPECT_EQ(clean_path_input(L"C:/Apps//"), L"C:/Apps");
  EXPECT_EQ(clean_path_input(L" \t  "), L"");
  EXPECT_EQ(clean_path_input(L"\"\""), L"");
  EXPECT_EQ(clean_path_input(L"\" a \""), L" a ");   // blanks inside the quotes stay
  EXPECT_EQ(clean_path_input(L"/opt/x///"), L"/opt/x");
  EXPECT_EQ(clean_path_input(L"///"), L"///");
}

TEST(Strings, FormatByteSizeUnitsAndRounding) {
  EXPECT_EQ(format_byte_size(0), L"0 B");
  EXPECT_EQ(format_byte_size(1023), L"1023 B");
  EXPECT_EQ(format_byte_size(1024), L"1.0 KB");
  EXPECT_EQ(format_byte_size(1536), L"1.5 KB");
  EXPECT_EQ(format_byte_size(1048575), L"1024.0 KB");
  EXPECT_EQ(format_byte_size(20ull * 1024 * 1024), L"20.0 MB");
  EXPECT_EQ(format_byte_size(1073741824ull), L"1.0 GB");
  EXPECT_EQ(format_byte_size(5368709120ull), L"5.0 GB");
  EXPECT_EQ(format_byte_size(2199023255552ull), L"2048.0 GB");
}

TEST(Strings, Utf8ConversionsRoundTripAndReplaceInvalidBytes) {
  EXPECT_EQ(U(W("安装 Morvell")), "安装 Morvell");
  EXPECT_EQ(W("\xF0\x9F\x98\x80").size(), 1u);   // one code point above the BMP
  std::wstring bad = W(std::string("a\xFF" "b"));
  ASSERT_EQ(bad.size(), 3u);
  if (plat::kPathSeparator == L'/') {
    // Names are bytes here: one that does not decode keeps its place as an escape and comes back.
    EXPECT_EQ(bad[1], static_cast<wchar_t>(0xDCFF));
    for (const char* name : {"caf\xE9.ini", "\xE4\xB8", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE4\xB8\xE5\xAE\x89x"})
      EXPECT_EQ(U(W(name)), name);
    EXPECT_EQ(W(std::string("\xE4\xB8")).size(), 2u);   // a cut sequence: one escape per byte
    EXPECT_EQ(W(std::string("\xE4\xB8\xE5\xAE\x89")), std::wstring(L"\xDCE4\xDCB8") + L"\u5B89");
    EXPECT_EQ(U(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");   // no escape: U+FFFD
    EXPECT_EQ(display_text("\xC0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  } else {
    // Names are UTF-16 there; text that does not decode is replaced.
    EXPECT_EQ(bad[1], static_cast<wchar_t>(0xFFFD));
    EXPECT_EQ(W(std::string("\xE4\xB8")).size(), 1u);   // a cut sequence is one replacement
  }
  // Only text shown to the user gets U+FFFD, one per byte that does not decode.
  EXPECT_EQ(display_text("caf\xE9.ini"), "caf\xEF\xBF\xBD.ini");
  EXPECT_EQ(display_text("安装 \xF0\x9F\x98\x80"), "安装 \xF0\x9F\x98\x80");
  EXPECT_EQ(U(L""), "");
  EXPECT_EQ(W(""), L"");
  EXPECT_EQ(to_lower_wide(L"C:\\Apps\\MORVELL.EXE"), L"c:\\apps\\morvell.exe");
}

TEST(Strings, QuoteArgumentRoundTripsThroughTheSplitter) {
  EXPECT_EQ(plat::quote_argument(L""), L"\"\"");
  EXPECT_EQ(plat::quote_argument(L"D:\\"), L"\"D:\\\\\"");
  EXPECT_EQ(plat::quote_argument(L"a\\b"), L"\"a\\b\"");
  EXPECT_EQ(plat::quote_argument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
  EXPECT_EQ(plat::quote_argument(L"x\\\"y"), L"\"x\\\\\\\"y\"");
  const std::wstring samples[] = {L"", L"plain", L"with space", L"D:\\", L"trail\\\\", L"q\"uote",
                                  L"back\\\"slash", L"\\\\\"\\", L"\t tab", L"$HOME `id` 'x'", L"新建 文件夹"};
  for (const auto& s : samples) {
    auto args = plat::split_command_line(L"-x " + plat::quote_argument(s) + L" --last");
    ASSERT_EQ(args.size(), 3u) << U(s);
    EXPECT_EQ(args[1], s);
    EXPECT_EQ(args[2], L"--last");
  }
  auto parts = plat::split_command_line(L"--offline --silent-install --install-dir \"C:\\Program Files\\Morvell\"");
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[3], L"C:\\Program Files\\Morvell");
}

TEST(Strings, PowershellLiteralDoublesEverySingleQuote) {
  EXPECT_EQ(plat::quote_powershell_literal(L""), L"''");
  EXPECT_EQ(plat::quote_powershell_literal(L"it's"), L"'it''s'");
  EXPECT_EQ(plat::quote_powershell_literal(L"a\u2018b\u2019c\u201Ad\u201Be"), L"'a\u2018\u2018b\u2019\u2019c\u201A\u201Ad\u201B\u201Be'");
  EXPECT_EQ(plat::quote_powershell_literal(L"a\"b$c"), L"'a\"b$c'");
}

TEST(Strings, EndsWithIgnoreCaseIsAsciiOnly) {
  EXPECT_TRUE(ends_with_ignore_case("Setup.EXE", ".exe"));
  EXPECT_TRUE(ends_with_ignore_case("https://h/x/INSTALLER", "/installer"));
  EXPECT_TRUE(ends_with_ignore_case("abc", ""));
  EXPECT_FALSE(ends_with_ignore_case("exe", ".exe"));
  EXPECT_FALSE(ends_with_ignore_case("a.zip", ".exe"));
}

TEST(Strings, Base64RoundTripsAndRefusesWhatIsNotBase64) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (size_t n : {0u, 1u, 2u, 3u, 4u, 255u, 256u}) {
    std::string back = "stale";
    ASSERT_TRUE(base64_decode(base64_encode(all.substr(0, n)), back)) << n;
    EXPECT_EQ(back, all.substr(0, n));
  }
  EXPECT_EQ(base64_encode("Morvell"), "TW9ydmVsbA==");
  std::string out;
  ASSERT_TRUE(base64_decode(" TW9y\r\ndmVs\tbA==\n", out));   // as `base64` wraps it, with blanks
  EXPECT_EQ(out, "Morvell");
  out = "kept";
  for (const char* bad : {"TW9ydmVsbA=", "TW9ydmVsbA", "TW9y-mVsbA==", "TW9ydmVsbA==TW9y", "TQ===", "T===",
                          "TW9ydmVsbA=x"})
    EXPECT_FALSE(base64_decode(bad, out)) << bad;
  EXPECT_FALSE(base64_decode(std::string("TW9y\0dmVs", 9), out));
  EXPECT_EQ(out, "kept") << "a refused text leaves the output alone";
}
