// The update journal: a text file of lines, the first of which says what it is. A line stands
// for a step only once it is whole (ends in a line feed): a run killed while writing it had not
// taken that step yet. Names are bytes on some systems, so every byte that could end or split a
// line (and "%") is written as %XX.
#include "install/update_journal.h"

#include "common/filetree.h"
#include "common/strings.h"
#include "platform/platform.h"

namespace {

const char kFirstLine[] = "Morvell update journal 1";
constexpr size_t kReadLimit = 64u << 20;

const char* phase_word(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::Writing: return "writing";
    case UpdatePhase::Written: return "written";
    case UpdatePhase::Reverting: return "reverting";
  }
  return "writing";
}

const char* kind_word(JournalEntry::Kind kind) {
  switch (kind) {
    case JournalEntry::Moved: return "moved";
    case JournalEntry::Added: return "added";
    case JournalEntry::Folder: return "folder";
    case JournalEntry::Aside: return "aside";
  }
  return "moved";
}

std::string escaped(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c <= 0x20 || c == '%' || c == 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool unescaped(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

// One whole line of the journal into `journal`; false for a line the installer never writes.
bool read_line(const std::string& line, UpdateJournal& journal) {
  const size_t space = line.find(' ');
  const std::string word = line.substr(0, space), rest = space == std::string::npos ? "" : line.substr(space + 1);
  if (word == "phase") {
    for (UpdatePhase phase : {UpdatePhase::Writing, UpdatePhase::Written, UpdatePhase::Reverting})
      if (rest == phase_word(phase)) {
        journal.phase = phase;
        return true;
      }
    return false;
  }
  for (JournalEntry::Kind kind : {JournalEntry::Moved, JournalEntry::Added, JournalEntry::Folder, JournalEntry::Aside}) {
    if (word != kind_word(kind)) continue;
    JournalEntry entry;
    entry.kind = kind;
    const size_t split = rest.find(' ');
    if ((kind == JournalEntry::Aside) != (split != std::string::npos)) return false;
    if (!unescaped(rest.substr(0, split), entry.path) || entry.path.empty()) return false;
    if (kind == JournalEntry::Aside && (!unescaped(rest.substr(split + 1), entry.to) || entry.to.empty())) return false;
    journal.entries.push_back(entry);
    return true;
  }
  return false;
}

}  // namespace

bool JournalWriter::create(const std::wstring& path) {
  close();
  file_ = plat::create_new_file(path);
  if (file_ == plat::kNoFile) return false;
  return write_line(kFirstLine) && set_phase(UpdatePhase::Writing);
}

bool JournalWriter::add(const JournalEntry& entry) {
  std::string line = std::string(kind_word(entry.kind)) + " " + escaped(entry.path);
  if (entry.kind == JournalEntry::Aside) line += " " + escaped(entry.to);
  return write_line(line);
}

bool JournalWriter::set_phase(UpdatePhase phase) { return write_line(std::string("phase ") + phase_word(phase)); }

void JournalWriter::close() {
  if (file_ != plat::kNoFile) plat::close_file(file_);
  file_ = plat::kNoFile;
}

bool JournalWriter::write_line(const std::string& line) {
  const std::string whole = line + "\n";
  return file_ != plat::kNoFile &&
         plat::write_some(file_, whole.data(), whole.size()) == static_cast<int64_t>(whole.size());
}

bool read_journal(const std::wstring& path, UpdateJournal& journal) {
  journal = UpdateJournal();
  std::string text;
  if (!read_small_file(path, kReadLimit, text)) return false;
  size_t start = 0;
  bool first = true;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    if (first ? line != kFirstLine : !read_line(line, journal)) return false;
    first = false;
  }
  // Cut short before its first line was whole: made, but no step was taken.
  return !first || std::string(kFirstLine).compare(0, text.size(), text) == 0;
}

std::wstring path_below(const std::wstring& root, const std::string& relative) {
  std::wstring path = root;
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    const std::wstring part = plat::utf8_to_wide(relative.substr(start, slash == std::string::npos ? slash : slash - start));
    if (part.empty() || part == L"." || part == L".." || part.find(plat::kPathSeparator) != std::wstring::npos)
      return L"";
    path = join_path(path, part);
    if (slash == std::string::npos) return path;
    start = slash + 1;
  }
}
