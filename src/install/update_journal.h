// The journal of an update: which phase it is in and every change it makes to the installation,
// each line written before its step is taken, so that whoever reads it later knows every step
// that may have happened and can undo it.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// Writing: files are being replaced; undone when cut short. Written: the new version is whole;
// kept. Reverting: the new version is being taken back; undone to the end.
enum class UpdatePhase { Writing, Written, Reverting };

struct JournalEntry {
  // Moved: the installation's entry at `path` went to the rollback area. Added: a new file was put
  // at `path`. Folder: a folder was made at `path`. Aside: the user's entry at `path` was renamed
  // to `to`, a name beside it.
  enum Kind { Moved, Added, Folder, Aside } kind = Moved;
  std::string path;   // relative to the installation, names joined with "/"
  std::string to;
};

struct UpdateJournal {
  UpdatePhase phase = UpdatePhase::Writing;
  std::vector<JournalEntry> entries;
};

// Appends to a new journal; every line goes out in one write before the caller takes its step.
class JournalWriter {
 public:
  JournalWriter() = default;
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;
  ~JournalWriter() { close(); }
  bool create(const std::wstring& path);   // the journal's first line and the writing phase
  bool add(const JournalEntry& entry);
  bool set_phase(UpdatePhase phase);
  void close();

 private:
  bool write_line(const std::string& line);
  plat::FileHandle file_ = plat::kNoFile;
};

// Reads a journal the installer wrote (its first line says so); only whole lines count. False
// when it is something else or cannot be read.
bool read_journal(const std::wstring& path, UpdateJournal& journal);
// `relative` ("a/b") below `root`; empty when it would step out of it (a journal is read, not trusted).
std::wstring path_below(const std::wstring& root, const std::string& relative);
