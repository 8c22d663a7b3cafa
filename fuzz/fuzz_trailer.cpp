// The tail of an offline installer: any bytes, any size. The scan of the tail is held against a
// plain reading of the trailer rules, a trailer written the way the packer writes it must come
// back exactly, and the whole copy-out from a real file must succeed exactly when the archive the
// trailer names lies inside the file, and then give exactly those bytes.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/strings.h"
#include "fuzz_support.h"
#include "package/payload.h"
#include "package/workdir.h"
#include "platform/platform.h"

static const char kMarker[] = "MORV-PACKAGE:";
static const size_t kMarkerSize = sizeof kMarker - 1;

// Position of the last marker in the bytes, or npos.
static size_t last_marker(const std::string& bytes) {
  return bytes.size() < kMarkerSize ? std::string::npos : bytes.rfind(kMarker);
}

// Reads "[blanks]digits:[blanks]digits" from the start of `text` when it has that plain form
// (at most 19 digits each, so no overflow); false for anything else.
static bool plain_numbers(const std::string& text, uint64_t& p, uint64_t& l) {
  size_t i = 0;
  auto blanks = [&] { while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) && text[i]) ++i; };
  auto number = [&](uint64_t& out) {
    size_t start = i;
    out = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 19) out = out * 10 + (text[i++] - '0');
    return i > start && !(i < text.size() && text[i] >= '0' && text[i] <= '9');
  };
  blanks();
  if (!number(p) || i >= text.size() || text[i] != ':') return false;
  ++i;
  blanks();
  return number(l);
}

static std::string temp_dir;

static void remove_temp_dir() {
  if (temp_dir.empty()) return;
  std::string work = temp_dir + "/Morvell-Installer-Temp";
  unlink((work + "/Morvell-offline-package.zip").c_str());
  rmdir(work.c_str());
  unlink((temp_dir + "/setup.bin").c_str());
  rmdir(temp_dir.c_str());
}

static std::string read_file(const std::string& path) {
  std::string out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
  }
  return out;
}

// Writes the bytes as the program file and copies the carried archive out of it.
static void check_copy_out(const std::string& bytes) {
  if (temp_dir.empty()) {
    // Memory-backed when the machine has it; a fresh file each time (a truncated one is flushed).
    for (const char* base : {"/dev/shm", "/tmp"}) {
      std::string pattern = std::string(base) + "/morvell-fuzz-trailer-XXXXXX";
      if (mkdtemp(&pattern[0])) {
        temp_dir = pattern;
        break;
      }
    }
    FUZZ_CHECK(!temp_dir.empty());
    std::atexit(remove_temp_dir);
  }
  const std::string program = temp_dir + "/setup.bin";
  const std::string copy = temp_dir + "/Morvell-Installer-Temp/Morvell-offline-package.zip";
  unlink(program.c_str());
  FILE* f = std::fopen(program.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
  std::fclose(f);
  unlink(copy.c_str());
  set_work_program_path(plat::utf8_to_wide(program));

  // What the reader should see: the last min(size, 4096) bytes, when the file is over 128 bytes.
  const uint64_t size = bytes.size();
  uint64_t p = 0, l = 0;
  bool trailer = size > 128 && parse_payload_trailer(bytes.data() + (size - std::min<uint64_t>(size, 4096)),
                                                     std::min<uint64_t>(size, 4096), p, l);
  bool inside = trailer && p <= size && l <= size - p;

  std::wstring package, error;
  bool ok = extract_offline_payload(package, error);
  FUZZ_CHECK(ok == inside);
  if (!trailer) {
    FUZZ_CHECK(error == L"离线安装器未包含安装包数据。");
    FUZZ_CHECK(package.empty());
  } else {
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(plat::wide_to_utf8(package) == copy);
  }
  if (ok) FUZZ_CHECK(read_file(copy) == bytes.substr(p, l));
  set_work_program_path(L"");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the bytes given, in a buffer of their own, so that a read past the end is caught.
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<char> tail(data, data + size);
  uint64_t offset = 123, length = 456;
  bool found = parse_payload_trailer(size ? tail.data() : nullptr, size, offset, length);
  FUZZ_CHECK(found == (offset != 0 && length != 0));
  size_t marker = last_marker(bytes);
  if (marker == std::string::npos) {
    FUZZ_CHECK(!found && offset == 0 && length == 0);
  } else {
    // The numbers come from the text after the last marker, up to the first zero byte.
    std::string text = bytes.substr(marker + kMarkerSize);
    text = text.substr(0, text.find('\0'));
    uint64_t p = 0, l = 0;
    if (plain_numbers(text, p, l)) {
      FUZZ_CHECK(offset == p && length == l);
    }
    unsigned char first = text.empty() ? 0 : static_cast<unsigned char>(text[0]);
    if (!std::strchr(" \t\n\v\f\r+-0123456789", first) || first == 0) FUZZ_CHECK(!found);
  }

  // A trailer written by the packer after any bytes is the one found, with its own numbers.
  uint64_t p = 0, l = 0;
  std::memcpy(&p, data, std::min<size_t>(size, 8));
  if (size > 8) std::memcpy(&l, data + 8, std::min<size_t>(size - 8, 8));
  p = p ? p : 1;
  l = l ? l : 1;
  std::string packed = bytes + kMarker + std::to_string(p) + ":" + std::to_string(l);
  FUZZ_CHECK(parse_payload_trailer(packed.data(), packed.size(), offset, length));
  FUZZ_CHECK(offset == p && length == l);

  // The copy-out from a real file, with the input's own trailer and with one that points at the
  // input itself (the usual layout: program, archive, trailer).
  check_copy_out(bytes);
  if (size > 16) {
    size_t start = data[0] % (size / 2 + 1);
    check_copy_out(bytes + kMarker + std::to_string(start ? start : 1) + ":" + std::to_string(size - start));
  }
  return 0;
}
