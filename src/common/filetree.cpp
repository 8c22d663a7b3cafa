// File-tree primitives over the platform layer. Walks keep the window live after every entry
// and never descend into a symbolic link: a link is counted, copied, moved or deleted as itself.
// Pipes, sockets and devices are never opened: a copy passes them by.
#include "common/filetree.h"

#include <algorithm>
#include <vector>

#include "common/progress.h"
#include "common/strings.h"
#include "platform/platform.h"

// The folder above `path` as the system reads the path (where its separator is "/", a "\" is part
// of a name); empty for a top-level path.
static std::wstring folder_above(const std::wstring& path) {
  const size_t pos = path.find_last_of(std::wstring(L"/") + plat::kPathSeparator);
  return pos == std::wstring::npos || pos == 0 ? std::wstring() : path.substr(0, pos);
}

bool create_directory_tree(const std::wstring& path) {
  if (path.empty()) return false;
  // The missing folders above come first, so that no attempt fails (and is logged as failed)
  // only for want of them; when one cannot be made, the attempt below says why.
  const std::wstring parent = folder_above(path);
  if (!parent.empty() && plat::path_kind(parent) == plat::PathKind::None) create_directory_tree(parent);
  return plat::make_directory(path) != plat::MkdirResult::Failed;
}

void remove_tree_in_process(const std::wstring& path) {
  plat::delete_tree_silently(path, [] { pump_events(); });
}

bool copy_file_with_progress(const std::wstring& source, const std::wstring& destination,
                             ProgressThrottle* throttle, uint64_t size_hint) {
  uint64_t size = size_hint;
  if (throttle && size == 0) {
    size = 1;   // an empty file still counts as one unit
    uint64_t actual = 0;
    if (plat::file_size(source, actual) && actual != 0) size = actual;
  }
  create_directory_tree(parent_path(destination));
  if (plat::is_read_only(destination)) plat::clear_read_only(destination);
  plat::CopyProgress progress = [](uint64_t, uint64_t) { pump_events(); };
  if (throttle) {
    progress = [throttle](uint64_t file_total, uint64_t transferred) {
      if (file_total != 0 && transferred > file_total) transferred = file_total;
      throttle->update(transferred, false);
    };
  }
  bool copied = plat::copy_file(source, destination, progress);
  if (!throttle) return copied;
  if (!copied) return false;
  throttle->finish_item(size);
  return true;
}

bool count_tree(const std::wstring& path, uint64_t& files, uint64_t& bytes) {
  plat::PathKind kind = plat::path_kind(path);
  if (kind == plat::PathKind::None) return false;
  if (kind != plat::PathKind::Directory) {
    uint64_t size = 0;
    if (plat::file_size(path, size)) {
      files += 1;
      bytes += size;
    }
    return true;
  }
  std::vector<plat::DirEntry> entries;
  if (!plat::list_directory(path, entries)) return false;
  for (const plat::DirEntry& entry : entries) {
    if (entry.kind == plat::PathKind::Directory) {
      if (!count_tree(join_path(path, entry.name), files, bytes)) return false;
    } else {
      files += 1;
      bytes += entry.size;
    }
    pump_events();
  }
  return true;
}

bool copy_tree(const std::wstring& source, const std::wstring& destination, ProgressThrottle* throttle) {
  plat::PathKind kind = plat::path_kind(source);
  if (kind == plat::PathKind::None) return false;
  if (kind == plat::PathKind::Special) return true;
  if (kind != plat::PathKind::Directory) return copy_file_with_progress(source, destination, throttle, 0);
  // A link standing where a directory goes is replaced, never written through.
  if (plat::path_kind(destination) == plat::PathKind::Link) plat::delete_file(destination);
  if (!create_directory_tree(destination)) return false;
  std::vector<plat::DirEntry> entries;
  if (!plat::list_directory(source, entries)) return false;
  for (const plat::DirEntry& entry : entries) {
    if (entry.kind == plat::PathKind::Special) continue;   // a running program's pipe or socket: not data
    const std::wstring from = join_path(source, entry.name), to = join_path(destination, entry.name);
    bool ok = entry.kind == plat::PathKind::Directory ? copy_tree(from, to, throttle)
                                                       : copy_file_with_progress(from, to, throttle, entry.size);
    if (!ok) return false;
    pump_events();
  }
  return true;
}

bool copy_tree_with_progress(const std::wstring& source, const std::wstring& destination,
                             const std::wstring& text, double from, double to) {
  if (!(from >= 0.0 && to >= from)) return copy_tree(source, destination, nullptr);
  uint64_t files = 0, bytes = 0;
  count_tree(source, files, bytes);
  ProgressThrottle throttle;
  throttle.total = bytes != 0 ? bytes : files;
  throttle.done = 0;
  throttle.from = from;
  throttle.to = to;
  throttle.text = text;
  throttle.last_tick = 0;
  throttle.update(0, true);
  return copy_tree(source, destination, &throttle);
}

namespace {

// The running program's own path, lower-cased once per process.
const std::wstring& lowered_own_path() {
  static const std::wstring lowered = to_lower_wide(plat::own_executable_path());
  return lowered;
}

bool is_running_program(const std::wstring& path) {
  const std::wstring& own = lowered_own_path();
  return !own.empty() && to_lower_wide(path) == own;
}

}  // namespace

bool move_tree(const std::wstring& source, const std::wstring& destination, ProgressThrottle* throttle) {
  plat::PathKind kind = plat::path_kind(source);
  if (kind == plat::PathKind::None) return false;
  if (kind != plat::PathKind::Directory) {
    create_directory_tree(parent_path(destination));
    if (is_running_program(destination)) {
      // The running program's file is never overwritten; its new copy is dropped.
      plat::delete_file(source);
    } else {
      if (plat::is_read_only(destination)) plat::clear_read_only(destination);
      if (!plat::rename_replacing(source, destination)) {
        if (!copy_file_with_progress(source, destination, nullptr, 0)) return false;
        plat::delete_file(source);
      }
    }
    if (throttle) throttle->finish_item(1);
    return true;
  }
  plat::PathKind there = plat::path_kind(destination);
  if (there != plat::PathKind::None && there != plat::PathKind::Directory) {
    if (plat::is_read_only(destination)) plat::clear_read_only(destination);
    plat::delete_file(destination);
  }
  if (!create_directory_tree(destination)) return false;
  std::vector<plat::DirEntry> entries;
  if (!plat::list_directory(source, entries)) return false;
  for (const plat::DirEntry& entry : entries) {
    if (!move_tree(join_path(source, entry.name), join_path(destination, entry.name), throttle)) return false;
    pump_events();
  }
  plat::remove_empty_directory(source);
  return true;
}

bool write_file_bytes(const std::wstring& path, const std::string& bytes) {
  create_directory_tree(parent_path(path));
  plat::FileHandle file = plat::create_for_writing(path);
  if (file == plat::kNoFile) return false;
  const int64_t written = plat::write_some(file, bytes.data(), bytes.size());
  plat::close_file(file);
  return written == static_cast<int64_t>(bytes.size());
}

namespace {

bool is_separator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Whether the link at `place` (the directories from the root down to the link's own folder)
// with target text `target` stays below `root`. Read without touching the disk, except that a
// link met halfway along the target is taken as leading out: what follows it cannot be known.
bool link_stays_inside(const std::wstring& root, std::vector<std::wstring> place, const std::wstring& target) {
  if (target.empty() || is_separator(target[0]) || (target.size() > 1 && target[1] == L':')) return false;
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (size_t i = 0; i <= target.size(); ++i) {
    if (i < target.size() && !is_separator(target[i])) continue;
    std::wstring part = target.substr(start, i - start);
    if (!part.empty() && part != L".") parts.push_back(part);
    start = i + 1;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i] == L"..") {
      if (place.empty()) return false;
      place.pop_back();
      continue;
    }
    place.push_back(parts[i]);
    if (i + 1 < parts.size()) {
      std::wstring path = root;
      for (const std::wstring& piece : place) path = join_path(path, piece);
      if (plat::path_kind(path) == plat::PathKind::Link) return false;
    }
  }
  return true;
}

bool self_contained_below(const std::wstring& root, std::vector<std::wstring>& place) {
  std::wstring dir = root;
  for (const std::wstring& piece : place) dir = join_path(dir, piece);
  std::vector<plat::DirEntry> entries;
  if (!plat::list_directory(dir, entries)) return false;
  for (const plat::DirEntry& entry : entries) {
    if (entry.kind == plat::PathKind::Special) return false;
    if (entry.kind == plat::PathKind::Link) {
      std::wstring target;
      if (!plat::read_link(join_path(dir, entry.name), target) || !link_stays_inside(root, place, target))
        return false;
    } else if (entry.kind == plat::PathKind::Directory) {
      place.push_back(entry.name);
      const bool inside = self_contained_below(root, place);
      place.pop_back();
      if (!inside) return false;
    }
    pump_events();
  }
  return true;
}

}  // namespace

bool tree_is_self_contained(const std::wstring& root) {
  std::vector<std::wstring> place;
  return self_contained_below(root, place);
}

bool read_small_file(const std::wstring& path, size_t limit, std::string& text) {
  text.clear();
  if (plat::path_kind(path) != plat::PathKind::File) return false;
  plat::FileHandle file = plat::open_for_reading(path);
  if (file == plat::kNoFile) return false;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    int64_t n = plat::read_some(file, buffer, sizeof buffer);
    if (n <= 0 || text.size() + static_cast<size_t>(n) > limit) {
      ok = n == 0;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  plat::close_file(file);
  return ok;
}
