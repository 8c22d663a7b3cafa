// Shortcuts as desktop entries, read back the way a desktop reads them: the string escapes
// first, then the quoting of the Exec line.
#include <gio/gdesktopappinfo.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "install/shortcut.h"
#include "platform/platform.h"
#include "support/helpers.h"

using namespace testing_support;

namespace {

std::string unescape_string(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out.push_back(value[i]);
      continue;
    }
    char c = value[++i];
    out.push_back(c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c);
  }
  return out;
}

struct Entry {
  std::string group;
  std::map<std::string, std::string> values;   // unescaped
};

Entry parse_entry(const std::string& text) {
  Entry entry;
  std::istringstream in(text);
  std::string line;
  std::getline(in, entry.group);
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    entry.values[line.substr(0, eq)] = unescape_string(line.substr(eq + 1));
  }
  return entry;
}

// The Exec rules: blanks separate arguments outside double quotes; inside them a backslash
// takes the next character literally; "%%" is a percent sign. A field code fails the parse.
bool split_exec(const std::string& exec, std::vector<std::string>& args) {
  args.clear();
  std::string current;
  bool in_arg = false, quoted = false;
  for (size_t i = 0; i < exec.size(); ++i) {
    char c = exec[i];
    if (quoted) {
      if (c == '\\' && i + 1 < exec.size()) current.push_back(exec[++i]);
      else if (c == '"') quoted = false;
      else if (c == '%') {
        if (i + 1 >= exec.size() || exec[i + 1] != '%') return false;
        current.push_back('%');
        ++i;
      } else current.push_back(c);
    } else if (c == ' ') {
      if (in_arg) args.push_back(current);
      current.clear();
      in_arg = false;
    } else if (c == '"') {
      quoted = in_arg = true;
    } else {
      if (c == '%' || c == '\\' || c == '$' || c == '`') return false;   // reserved outside quotes
      current.push_back(c);
      in_arg = true;
    }
  }
  if (quoted) return false;
  if (in_arg) args.push_back(current);
  return true;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

}  // namespace

TEST(Shortcut, DesktopEntryReadsBack) {
  TempDir tmp;
  EXPECT_EQ(std::wstring(plat::kShortcutExtension), L".desktop");
  const std::string bin = tmp / "Apps \"q\" $HOME `x` back\\slash 100% 墨/bin";
  const std::string target = bin + "/Morvell-Uninstall.exe";
  const std::string link = tmp / "menu/deep/Morvell/卸载 Morvell.desktop";
  create_shortcut(W(target), W(link), W(bin), L"--uninstall");
  ASSERT_TRUE(exists(link));   // the folder and its parents were created

  Entry entry = parse_entry(read_text(link));
  EXPECT_EQ(entry.group, "[Desktop Entry]");
  EXPECT_EQ(entry.values["Type"], "Application");
  EXPECT_EQ(entry.values["Name"], "卸载 Morvell");
  EXPECT_EQ(entry.values["Comment"], "Morvell");
  EXPECT_EQ(entry.values["Path"], bin);
  EXPECT_EQ(entry.values["Terminal"], "false");
  EXPECT_FALSE(entry.values["Icon"].empty());
  std::vector<std::string> args;
  ASSERT_TRUE(split_exec(entry.values["Exec"], args)) << entry.values["Exec"];
  // A "%" in the program's path: started through env, so that a desktop that looks for the
  // program before it expands "%%" finds one.
  ASSERT_EQ(args.size(), 3u);
  EXPECT_EQ(args[0], "env");
  EXPECT_EQ(args[1], target);
  EXPECT_EQ(args[2], "--uninstall");
  EXPECT_EQ(mode_of(link), 0755u);
  std::wstring read_target, read_arguments;
  ASSERT_TRUE(plat::read_shortcut(W(link), read_target, read_arguments));
  EXPECT_EQ(U(read_target), target);
  EXPECT_EQ(read_arguments, L"--uninstall");
  // The desktop's own loader takes the entry, and the command it would run is ours.
  write_text(target, "#!/bin/sh\n");
  chmod(target.c_str(), 0755);
  ASSERT_EQ(mode_of(target) & 0111, 0111u);
  GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(link.c_str());
  ASSERT_NE(info, nullptr) << "the desktop cannot load " << link;
  g_object_unref(info);

  // The shell agrees with our reading of the quoting (the desktop rules follow the shell's
  // double quotes): run the Exec line through sh with echo in the program's place.
  std::string exec_line = entry.values["Exec"];
  std::string probe = "printf '%s\\n' " + exec_line.substr(4, exec_line.rfind(' ') - 4) + " > '" + tmp / "probe" + "'";
  size_t percent;
  while ((percent = probe.find("%%")) != std::string::npos) probe.replace(percent, 2, "%");
  EXPECT_EQ(run_shell(probe), 0);
  EXPECT_EQ(read_text(tmp / "probe"), target + "\n");

  // A program shortcut without arguments, written over an existing entry of the same name.
  const std::string program_link = tmp / "desk/Morvell.desktop";
  write_text(program_link, "stale");
  create_shortcut(W(bin + "/Morvell.exe"), W(program_link), W(bin), L"");
  entry = parse_entry(read_text(program_link));
  EXPECT_EQ(entry.values["Name"], "Morvell");
  ASSERT_TRUE(split_exec(entry.values["Exec"], args));
  ASSERT_EQ(args.size(), 2u);
  EXPECT_EQ(args[1], bin + "/Morvell.exe");
  auto snap = snapshot_tree(tmp / "desk");
  EXPECT_EQ(snap.size(), 1u);   // no temporary file left beside it

  // An icon beside the program with its base name is used.
  write_text(bin + "/Morvell.png", "png");
  create_shortcut(W(bin + "/Morvell.exe"), W(program_link), W(bin), L"");
  EXPECT_EQ(parse_entry(read_text(program_link)).values["Icon"], bin + "/Morvell.png");
}

TEST(Shortcut, FailuresAreSilent) {
  TempDir tmp;
  write_text(tmp / "blocker", "a file where the folder should be");
  create_shortcut(L"/x/bin/Morvell.exe", tmp.wide("blocker/Morvell/Morvell.desktop"), L"/x/bin", L"");
  EXPECT_FALSE(exists(tmp / "blocker/Morvell"));
  plat::set_fault_hook([](const char* op, const std::wstring&) { return std::string(op) == "write_shortcut"; });
  create_shortcut(L"/x/bin/Morvell.exe", tmp.wide("Morvell.desktop"), L"/x/bin", L"");
  plat::set_fault_hook(nullptr);
  EXPECT_FALSE(exists(tmp / "Morvell.desktop"));
  EXPECT_FALSE(plat::write_shortcut(L"/x/bin/Morvell.exe", tmp.wide("blocker/x.desktop"), L"/x/bin", L"", L"Morvell"));
}
