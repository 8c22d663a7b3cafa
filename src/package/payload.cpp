#include "package/payload.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/progress.h"
#include "common/strings.h"
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

static bool find_trailer(const std::wstring& program, uint64_t& offset, uint64_t& length, uint64_t& size) {
  offset = length = size = 0;
  plat::FileHandle file = plat::open_for_reading(program);
  if (file < 0) return false;
  bool ok = false;
  if (plat::handle_size(file, size) && size > 128) {
    size_t tail_size = static_cast<size_t>(std::min(size, kTailSize));
    std::vector<char> tail(tail_size + 1, 0);
    if (plat::seek_to(file, size - tail_size)) {
      size_t got = 0;
      while (got < tail_size) {
        int64_t n = plat::read_some(file, tail.data() + got, tail_size - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      if (got == tail_size) ok = parse_payload_trailer(tail.data(), tail_size, offset, length);
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
  uint64_t size = 0;
  return find_trailer(program, offset, length, size) && offset <= size && length <= size - offset;
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

static void show_copy_progress(uint64_t done, uint64_t total) {
  std::wstring text = L"正在读取离线安装包... " + format_byte_size(done) + L" / " + format_byte_size(total);
  set_progress(text, 0.06 + 0.16 * static_cast<double>(done) / static_cast<double>(total));
}

bool extract_offline_payload(std::wstring& package_path, std::wstring& error) {
  const std::wstring program = work_program_path();
  uint64_t offset = 0, length = 0, size = 0;
  if (!find_trailer(program, offset, length, size)) {
    error = L"离线安装器未包含安装包数据。";
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
