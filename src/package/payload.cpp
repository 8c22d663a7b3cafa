#include "package/payload.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/progress.h"
#include "common/strings.h"
#include "package/messages.h"
#include "package/pe_image.h"
#include "package/workdir.h"
#include "platform/platform.h"

static const char kMarker[] = "MORV-PACKAGE:";
static const size_t kMarkerSize = sizeof kMarker - 1;
static const uint64_t kTailSize = 4096;

bool parse_payload_trailer(const char* tail, size_t size, uint64_t& offset, uint64_t& length) {
  offset = 0;
  length = 0;
  if (!tail || size < kMarkerSize) return false;
  // The last marker counts: an installer that was packed twice carries its newest package last.
  size_t pos = size - kMarkerSize + 1;
  bool found = false;
  while (pos-- > 0) {
    if (std::memcmp(tail + pos, kMarker, kMarkerSize) == 0) {
      found = true;
      break;
    }
  }
  if (!found) return false;
  // The text after the marker, up to the first zero byte or the end of what was read.
  std::string text(tail + pos + kMarkerSize, size - pos - kMarkerSize);
  unsigned long long p = 0, l = 0;
  std::sscanf(text.c_str(), "%llu:%llu", &p, &l);
  offset = p;
  length = l;
  return offset != 0 && length != 0;
}

static bool read_at(plat::FileHandle file, uint64_t at, char* buffer, size_t size) {
  if (!plat::seek_to(file, at)) return false;
  size_t got = 0;
  while (got < size) {
    int64_t n = plat::read_some(file, buffer + got, size - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got == size;
}

// The trailer in the last 4096 bytes before `end`.
static bool trailer_before(plat::FileHandle file, uint64_t end, uint64_t& offset, uint64_t& length) {
  size_t tail_size = static_cast<size_t>(std::min(end, kTailSize));
  std::vector<char> tail(tail_size + 1, 0);
  return read_at(file, end - tail_size, tail.data(), tail_size) &&
         parse_payload_trailer(tail.data(), tail_size, offset, length);
}

// A signature is appended after the trailer and starts with the certificate table that the
// program's headers point at, so the trailer of a signed installer ends where that table begins.
// `end` is set to where the trailer was found to end.
static bool find_trailer(const std::wstring& program, uint64_t& offset, uint64_t& length, uint64_t& end) {
  offset = length = end = 0;
  plat::FileHandle file = plat::open_for_reading(program);
  if (file < 0) return false;
  uint64_t size = 0;
  bool ok = false;
  if (plat::handle_size(file, size) && size > 128) {
    std::vector<char> head(static_cast<size_t>(std::min<uint64_t>(size, kPeHeadSize)));
    PeLayout layout;
    if (read_at(file, 0, head.data(), head.size()) &&
        read_pe_layout(reinterpret_cast<const unsigned char*>(head.data()), head.size(), layout) &&
        layout.table_offset > 128 && layout.table_offset < size) {
      end = layout.table_offset;
      ok = trailer_before(file, end, offset, length);
    }
    // An installer packed after it was signed carries its trailer at the very end.
    if (!ok) {
      end = size;
      ok = trailer_before(file, end, offset, length);
    }
  }
  plat::close_file(file);
  return ok;
}

bool program_part_is_whole(const std::wstring& program, uint64_t offset) {
  const size_t signature = std::strlen(plat::kProgramSignature);
  if (offset < 1024) return false;
  plat::FileHandle file = plat::open_for_reading(program);
  if (file == plat::kNoFile) return false;
  char head[8] = {};
  const bool read = plat::read_some(file, head, signature) == static_cast<int64_t>(signature);
  plat::close_file(file);
  return read && std::memcmp(head, plat::kProgramSignature, signature) == 0;
}

bool find_carried_payload(const std::wstring& program, uint64_t& offset, uint64_t& length) {
  uint64_t end = 0;
  return find_trailer(program, offset, length, end) && offset <= end && length <= end - offset;
}

// Pieces grow while one is copied in under a quarter of an event slice and shrink when one
// takes more than half, so the window gets its turn at least every slice at any disk speed.
static const size_t kFirstPiece = 1048576, kSmallestPiece = 65536, kLargestPiece = 64u << 20;

bool copy_file_part(const std::wstring& from, uint64_t offset, uint64_t length, const std::wstring& to,
                    bool only_new, const std::function<void(uint64_t done)>& after_piece) {
  plat::FileHandle source = plat::open_for_reading(from);
  if (source < 0) return false;
  plat::FileHandle destination = only_new ? plat::create_new_file(to) : plat::create_for_writing(to);
  if (destination < 0) {
    plat::close_file(source);
    return false;
  }
  uint64_t done = 0;
  size_t piece = kFirstPiece;
  while (done < length) {
    const uint32_t start = ui_clock();
    int64_t got = plat::copy_some(source, offset + done, destination,
                                  static_cast<size_t>(std::min<uint64_t>(length - done, piece)));
    if (got <= 0) break;
    const uint32_t took = static_cast<uint32_t>(ui_clock() - start);
    if (took < kEventSliceMs / 4 && piece < kLargestPiece) piece *= 2;
    if (took > kEventSliceMs / 2 && piece > kSmallestPiece) piece /= 2;
    done += static_cast<uint64_t>(got);
    if (after_piece) after_piece(done);
  }
  plat::close_file(destination);
  plat::close_file(source);
  return done == length;
}

// A program part whose headers still point at the certificate table of the whole installer, or
// carry the whole installer's checksum, is made a program of its own: that signature signs none
// of it. A part that is a signed program itself, and any other file, stays as it is; a checksum
// of 0 (none) stays none.
static bool seal_program_part(const std::wstring& path) {
  plat::FileHandle file = plat::open_for_reading(path);
  if (file < 0) return false;
  uint64_t size = 0;
  std::string image;
  bool read = plat::handle_size(file, size) && size <= (256u << 20);
  if (read) {
    image.resize(static_cast<size_t>(size));
    read = read_at(file, 0, &image[0], image.size());
  }
  plat::close_file(file);
  if (!read) return false;
  auto* bytes = reinterpret_cast<unsigned char*>(&image[0]);
  PeLayout layout;
  if (!read_pe_layout(bytes, std::min<size_t>(image.size(), kPeHeadSize), layout)) return true;
  const std::string before = image.substr(0, kPeHeadSize);
  if (layout.table_offset >= size) {
    put_le32(bytes + layout.security_entry_at, 0);
    put_le32(bytes + layout.security_entry_at + 4, 0);
  }
  if (layout.checksum != 0) {
    put_le32(bytes + layout.checksum_at, 0);
    PeChecksum checksum;
    checksum.add(bytes, image.size());
    put_le32(bytes + layout.checksum_at, checksum.finish(size));
  }
  if (image.compare(0, kPeHeadSize, before) == 0) return true;
  plat::FileHandle out = plat::create_for_writing(path);
  if (out < 0) return false;
  size_t written = 0;
  while (written < image.size()) {
    int64_t n = plat::write_some(out, image.data() + written, image.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  plat::close_file(out);
  return written == image.size();
}

bool copy_program_part(const std::wstring& from, uint64_t length, const std::wstring& to,
                       const std::function<void(uint64_t done)>& after_piece) {
  return copy_file_part(from, 0, length, to, false, after_piece) && seal_program_part(to);
}

static void show_copy_progress(uint64_t done, uint64_t total) {
  std::wstring text = L"正在读取离线安装包... " + format_byte_size(done) + L" / " + format_byte_size(total);
  set_progress(text, bar::kCarriedRead.from + (bar::kCarriedRead.to - bar::kCarriedRead.from) * static_cast<double>(done) / static_cast<double>(total));
}

bool extract_offline_payload(std::wstring& package_path, std::wstring& error) {
  const std::wstring program = work_program_path();
  uint64_t offset = 0, length = 0, end = 0;
  if (!find_trailer(program, offset, length, end)) {
    error = kNoCarriedPackage;
    return false;
  }
  package_path = work_file_path(L"Morvell-offline-package.zip");
  // The bar moves at most every 100 ms (and with the last piece); the window turns after every piece.
  // The copy is a file of this run's own making: nothing that stood at its name is written through.
  bool updated = false;
  uint32_t last_tick = 0;
  return copy_file_part(program, offset, length, package_path, true, [&](uint64_t done) {
    uint32_t now = ui_clock();
    if (!updated || static_cast<uint32_t>(now - last_tick) > 100 || done == length) {
      show_copy_progress(done, length);
      updated = true;
      last_tick = now;
    } else {
      pump_events();
    }
  });
}

bool offline_package(PackageSource& package, bool& copied, std::wstring& error) {
  package = PackageSource();
  copied = !plat::kUnpacksFileRange;
  // The external unpackers take whole files only; the in-process one reads the archive where it
  // lies, which spares writing the whole package once more before it is unpacked.
  if (copied) return extract_offline_payload(package.file, error);
  const std::wstring program = work_program_path();
  uint64_t offset = 0, length = 0, end = 0, size = 0;
  if (!find_trailer(program, offset, length, end)) {
    error = kNoCarriedPackage;
    return false;
  }
  // An archive that runs past the end of the file is cut short, as a copy of it would be.
  if (!plat::file_size(program, size) || offset > size || length > size - offset) return false;
  package = PackageSource{program, offset, length};
  return true;
}
