#include "package/payload.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/ui.h"
#include "common/strings.h"
#include "package/workdir.h"
#include "platform/platform.h"

static const char kMarker[] = "MORV-PACKAGE:";
static const size_t kMarkerSize = sizeof kMarker - 1;
static const uint64_t kTailSize = 4096;
static const size_t kChunkSize = 1048576;

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

static bool find_trailer(const std::wstring& program, uint64_t& offset, uint64_t& length) {
  offset = length = 0;
  plat::FileHandle file = plat::open_for_reading(program);
  if (file < 0) return false;
  uint64_t size = 0;
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

static void show_copy_progress(uint64_t done, uint64_t total) {
  std::wstring text = L"正在读取离线安装包... " + format_byte_size(done) + L" / " + format_byte_size(total);
  set_progress(text, 0.06 + 0.16 * static_cast<double>(done) / static_cast<double>(total));
}

bool extract_offline_payload(std::wstring& package_path, std::wstring& error) {
  const std::wstring program = work_program_path();
  uint64_t offset = 0, length = 0;
  if (!find_trailer(program, offset, length)) {
    error = L"离线安装器未包含安装包数据。";
    return false;
  }
  package_path = work_file_path(L"Morvell-offline-package.zip");

  plat::FileHandle source = plat::open_for_reading(program);
  if (source < 0) return false;
  // A file of this run's own making: nothing that stood at its name is written through.
  plat::FileHandle destination = plat::create_new_file(package_path);
  if (destination < 0) {
    plat::close_file(source);
    return false;
  }
  uint64_t remaining = length, done = 0;
  if (plat::seek_to(source, offset)) {
    std::vector<char> buffer(kChunkSize, 0);
    bool updated = false;
    uint32_t last_tick = 0;
    while (remaining > 0) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kChunkSize));
      int64_t got = plat::read_some(source, buffer.data(), want);
      if (got <= 0) break;
      int64_t written = plat::write_some(destination, buffer.data(), static_cast<size_t>(got));
      if (written != got) break;
      remaining -= static_cast<uint64_t>(got);
      done += static_cast<uint64_t>(got);
      uint32_t now = ui_clock();
      if (!updated || static_cast<uint32_t>(now - last_tick) > 100 || remaining == 0) {
        show_copy_progress(done, length);
        updated = true;
        last_tick = now;
      } else {
        pump_events();
      }
    }
  }
  plat::close_file(destination);
  plat::close_file(source);
  return remaining == 0;
}
