// POSIX backend: the in-process zip unpacker (libarchive), the last resort after the tools for a
// package file and the one unpacker that reads an archive where it lies inside another file.
#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <locale.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/posix/posix_util.h"

namespace plat {

namespace {

uint32_t now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint32_t>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

// Names are read and written as UTF-8 whatever the process locale says; the caller's locale
// is back in place whenever control leaves (also around every poll).
class Utf8Names {
 public:
  Utf8Names() {
    utf8_ = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (utf8_) previous_ = uselocale(utf8_);
  }
  ~Utf8Names() {
    if (utf8_) {
      uselocale(previous_);
      freelocale(utf8_);
    }
  }
  void suspend() {
    if (utf8_) uselocale(previous_);
  }
  void resume() {
    if (utf8_) uselocale(utf8_);
  }

 private:
  locale_t utf8_ = static_cast<locale_t>(0);
  locale_t previous_ = static_cast<locale_t>(0);
};

// An entry name that stays below the destination: relative, no "..", no empty result.
// Returns the cleaned relative name ("./" pieces and doubled separators dropped), or empty.
std::string safe_relative_name(const char* raw, bool& unsafe) {
  unsafe = false;
  if (!raw) return std::string();
  std::string name = raw;
  if (name.empty()) return name;
  if (name[0] == '/') {
    unsafe = true;
    return std::string();
  }
  std::string out;
  size_t i = 0;
  while (i <= name.size()) {
    size_t j = name.find('/', i);
    if (j == std::string::npos) j = name.size();
    std::string piece = name.substr(i, j - i);
    if (piece == "..") {
      unsafe = true;
      return std::string();
    }
    if (!piece.empty() && piece != ".") {
      if (!out.empty()) out += '/';
      out += piece;
    }
    i = j + 1;
  }
  return out;
}

// The folders below the destination already seen to be real folders, not links. Only an entry
// that is neither a file nor a folder can make a link of a name seen before, so writing one
// forgets them all.
using SeenFolders = std::set<std::string>;

// True when some directory on the way to `relative` (the last piece excluded), below `base`
// ("" for the current folder, else the destination and a slash), is a symbolic link: writing
// there would land wherever the link points.
bool passes_through_link(const std::string& base, const std::string& relative, SeenFolders& seen) {
  size_t i = 0;
  for (;;) {
    size_t j = relative.find('/', i);
    if (j == std::string::npos) return false;
    const std::string folder = relative.substr(0, j);
    if (!seen.count(folder)) {
      struct stat st;
      const bool there = lstat((base + folder).c_str(), &st) == 0;
      if (there && S_ISLNK(st.st_mode)) return true;
      if (there && S_ISDIR(st.st_mode)) seen.insert(folder);
    }
    i = j + 1;
  }
}

// The unpacker works inside the destination, as `bsdtar -C` does: every entry is then a short
// relative name, which saves the system a walk from the root for each one. The caller's
// current folder is back in place whenever control leaves (also around every poll). Where the
// current folder cannot be kept, the names stay whole.
class InDestination {
 public:
  explicit InDestination(const std::string& root) {
    previous_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    destination_ = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    managed_ = previous_ >= 0 && destination_ >= 0 && fchdir(destination_) == 0;
    inside_ = managed_;
    if (!managed_) base_ = root + "/";
  }
  ~InDestination() {
    leave();
    if (previous_ >= 0) close(previous_);
    if (destination_ >= 0) close(destination_);
  }
  InDestination(const InDestination&) = delete;
  InDestination& operator=(const InDestination&) = delete;
  void leave() {
    if (!inside_) return;
    inside_ = false;
    if (fchdir(previous_) != 0) lost_ = true;
  }
  // False when the way back in failed: the short names would then be read in the caller's folder.
  bool enter() {
    if (managed_ && !inside_ && !lost_) {
      inside_ = fchdir(destination_) == 0;
      lost_ = !inside_;
    }
    return !lost_;
  }
  bool lost() const { return lost_; }
  const std::string& base() const { return base_; }   // what goes before an entry's name

 private:
  int previous_ = -1, destination_ = -1;
  bool managed_ = false, inside_ = false, lost_ = false;
  std::string base_;
};

// What the reader reads: `length` bytes of an open file from `begin` on. Every read and seek
// stays inside that range, so the bytes around an archive carried in another file are never seen.
struct RangeSource {
  int fd = -1;
  uint64_t begin = 0, length = 0, position = 0;
  std::vector<char> buffer = std::vector<char>(1 << 20);
};

la_ssize_t range_read(struct archive* reader, void* data, const void** block) {
  RangeSource& source = *static_cast<RangeSource*>(data);
  const size_t want = static_cast<size_t>(std::min<uint64_t>(source.length - source.position, source.buffer.size()));
  *block = source.buffer.data();
  if (want == 0) return 0;
  ssize_t got;
  do {
    got = pread(source.fd, source.buffer.data(), want, static_cast<off_t>(source.begin + source.position));
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    archive_set_error(reader, errno, "read failed");
    return ARCHIVE_FATAL;
  }
  source.position += static_cast<uint64_t>(got);
  return got;
}

la_int64_t range_seek(struct archive*, void* data, la_int64_t offset, int whence) {
  RangeSource& source = *static_cast<RangeSource*>(data);
  const la_int64_t base = whence == SEEK_SET   ? 0
                          : whence == SEEK_CUR ? static_cast<la_int64_t>(source.position)
                                               : static_cast<la_int64_t>(source.length);
  const la_int64_t target = base + offset;
  if (target < 0 || static_cast<uint64_t>(target) > source.length) return ARCHIVE_FATAL;
  source.position = static_cast<uint64_t>(target);
  return target;
}

la_int64_t range_skip(struct archive*, void* data, la_int64_t request) {
  RangeSource& source = *static_cast<RangeSource*>(data);
  if (request <= 0) return 0;
  const uint64_t skipped = std::min<uint64_t>(static_cast<uint64_t>(request), source.length - source.position);
  source.position += skipped;
  return static_cast<la_int64_t>(skipped);
}

// The whole package file, or the range of `range` when it is given.
int open_reader(struct archive* reader, int fd, RangeSource* range) {
  if (!range) return archive_read_open_fd(reader, fd, 64 * 1024);
  range->fd = fd;
  posix_fadvise(fd, static_cast<off_t>(range->begin), static_cast<off_t>(range->length), POSIX_FADV_SEQUENTIAL);
  archive_read_set_read_callback(reader, range_read);
  archive_read_set_seek_callback(reader, range_seek);
  archive_read_set_skip_callback(reader, range_skip);
  archive_read_set_callback_data(reader, range);
  return archive_read_open1(reader);
}

// The destination resolved once, so that no link above it counts against the entries; false
// when it is no directory.
bool resolve_destination(const std::wstring& destination, std::string& root) {
  char resolved[PATH_MAX];
  std::string dest_utf8 = wide_to_utf8(destination);
  struct stat dest_stat;
  if (dest_utf8.empty() || !realpath(dest_utf8.c_str(), resolved) || stat(resolved, &dest_stat) != 0 ||
      !S_ISDIR(dest_stat.st_mode))
    return false;
  root = resolved;
  return true;
}

// The reader and the writer of one run, released on every way out.
struct ArchivePair {
  struct archive* reader = archive_read_new();
  struct archive* writer = archive_write_disk_new();
  ~ArchivePair() {
    if (writer) archive_write_free(writer);
    if (reader) archive_read_free(reader);
  }
  ArchivePair() = default;
  ArchivePair(const ArchivePair&) = delete;
  ArchivePair& operator=(const ArchivePair&) = delete;
};

// `poll` every 20 ms or so, in the caller's locale and folder.
class Poller {
 public:
  Poller(const std::function<void()>& poll, Utf8Names& names, InDestination& folder)
      : poll_(poll), names_(names), folder_(folder) {}
  // False when the unpacker could not get back into its destination after the poll.
  bool operator()() {
    if (!poll_) return true;
    uint32_t now = now_ms();
    if (now - last_poll_ < 20) return true;
    last_poll_ = now;
    names_.suspend();
    folder_.leave();
    poll_();
    const bool back = folder_.enter();
    names_.resume();
    return back;
  }

 private:
  const std::function<void()>& poll_;
  Utf8Names& names_;
  InDestination& folder_;
  uint32_t last_poll_ = now_ms();
};

// The data of the entry just written as a header, block by block.
UnpackResult copy_entry_data(struct archive* reader, struct archive* writer, Poller& maybe_poll) {
  const void* block = nullptr;
  size_t size = 0;
  la_int64_t offset = 0;
  for (;;) {
    int d = archive_read_data_block(reader, &block, &size, &offset);
    if (d == ARCHIVE_EOF) return UnpackResult::Ok;
    // A warning here is a failed or short write (a full disk) or damaged data (a bad
    // checksum): either way the file on disk is not the one in the package.
    if (d < ARCHIVE_OK || archive_write_data_block(writer, block, size, offset) < ARCHIVE_OK) {
      if (archive_errno(writer)) errno = archive_errno(writer);
      return UnpackResult::Failed;
    }
    if (!maybe_poll()) return UnpackResult::Failed;
  }
}

// Every entry of an opened archive below `root`; `entries` counts those written.
UnpackResult unpack_entries(ArchivePair& archives, const InDestination& folder, Poller& maybe_poll,
                            uint64_t& entries) {
  SeenFolders seen;
  for (;;) {
    if (!maybe_poll()) return UnpackResult::Failed;
    struct archive_entry* entry = nullptr;
    int r = archive_read_next_header(archives.reader, &entry);
    if (r == ARCHIVE_EOF) return UnpackResult::Ok;
    // Not a zip at all, or damaged before its first entry: the package cannot be read.
    if (r < ARCHIVE_WARN) return entries == 0 ? UnpackResult::PackageUnreadable : UnpackResult::Failed;
    bool unsafe = false;
    std::string relative = safe_relative_name(archive_entry_pathname(entry), unsafe);
    if (unsafe || passes_through_link(folder.base(), relative, seen)) return UnpackResult::Failed;
    if (relative.empty()) continue;   // "./" and the like: the destination itself
    ++entries;
    const mode_t type = archive_entry_filetype(entry);
    if (type != AE_IFREG && type != AE_IFDIR) seen.clear();
    archive_entry_set_pathname(entry, (folder.base() + relative).c_str());
    if (archive_write_header(archives.writer, entry) < ARCHIVE_WARN) return UnpackResult::Failed;
    const UnpackResult data = copy_entry_data(archives.reader, archives.writer, maybe_poll);
    if (data != UnpackResult::Ok) return data;
    if (archive_write_finish_entry(archives.writer) < ARCHIVE_WARN) return UnpackResult::Failed;
  }
}

// Unpacks the package open at `package_fd` (-1: it could not be opened) into `root`.
UnpackResult unpack_opened(int package_fd, RangeSource* range, const std::string& root,
                           const std::function<void()>& poll) {
  Utf8Names names;
  ArchivePair archives;
  if (!archives.reader || !archives.writer) return UnpackResult::InitFailed;
  archive_read_support_format_zip(archives.reader);
  archive_write_disk_set_options(archives.writer, ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                                                      ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                      ARCHIVE_EXTRACT_SECURE_SYMLINKS);
  UnpackResult result = UnpackResult::Ok;
  uint64_t entries = 0;
  {
    InDestination folder(root);
    Poller maybe_poll(poll, names, folder);
    if (package_fd < 0 || open_reader(archives.reader, package_fd, range) != ARCHIVE_OK)
      result = UnpackResult::PackageUnreadable;
    else
      result = unpack_entries(archives, folder, maybe_poll, entries);
    // Closing the writer also applies the modes and times of the directories it made, by their
    // short names: only from inside the destination. Should the way back in have failed, the
    // writer is left unclosed (and its memory with it) rather than touch the caller's folder.
    if (!folder.lost()) {
      if (archive_write_close(archives.writer) < ARCHIVE_WARN && result == UnpackResult::Ok)
        result = UnpackResult::Failed;
      archive_write_free(archives.writer);
    }
    archives.writer = nullptr;
    folder.leave();
    if (folder.lost()) result = UnpackResult::Failed;
  }
  if (result == UnpackResult::Ok && entries == 0) result = UnpackResult::Empty;
  names.suspend();
  if (poll) poll();
  names.resume();
  return result;
}

UnpackResult unpack_once(const std::wstring& package, RangeSource* range, const std::wstring& destination,
                         const std::function<void()>& poll) {
  std::string root;
  if (!resolve_destination(destination, root)) return UnpackResult::DestinationUnusable;
  // Opened as a regular file and never through a link, like every input; before the unpacker
  // goes into the destination, where a relative name would mean another file.
  const int package_fd = posix::open_regular(wide_to_utf8(package), O_RDONLY | O_NOFOLLOW, 0);
  const UnpackResult result = unpack_opened(package_fd, range, root, poll);
  if (package_fd >= 0) close(package_fd);
  return result;
}

}  // namespace

namespace backend {

UnpackResult unpack_file(const std::wstring& package, const std::wstring& destination,
                         const std::function<void()>& poll) {
  return unpack_once(package, nullptr, destination, poll);
}

UnpackResult unpack_range(const std::wstring& file, uint64_t offset, uint64_t length, const std::wstring& destination,
                          const std::function<void()>& poll) {
  RangeSource range;
  range.begin = offset;
  range.length = length;
  return unpack_once(file, &range, destination, poll);
}

}  // namespace backend

const bool kUnpacksFileRange = true;

namespace {
bool tree_secured = true;   // nftw hands no context to its callback
uid_t tree_owner = 0;

int secure_one(const char* path, const struct stat* st, int kind, struct FTW*) {
  // Whatever an unpacker made belongs to us, links included; one restored from the package's
  // owners would let that user replace the program we install.
  if (st->st_uid != tree_owner) {
    errno = EPERM;
    tree_secured = false;
    return 0;
  }
  if (kind != FTW_F && kind != FTW_D && kind != FTW_DP) return 0;   // links and unreadable folders
  const mode_t mode = st->st_mode & 07777;
  const mode_t wanted = mode & ~(S_ISUID | S_ISGID | S_IWGRP | S_IWOTH);
  if (wanted != mode && chmod(path, wanted) != 0) tree_secured = false;
  return 0;
}
}  // namespace

namespace backend {

bool secure_tree(const std::wstring& tree) {
  tree_secured = true;
  tree_owner = geteuid();
  return nftw(wide_to_utf8(tree).c_str(), &secure_one, 16, FTW_PHYS) == 0 && tree_secured;
}

}  // namespace backend

}  // namespace plat
