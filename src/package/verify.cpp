#include "package/verify.h"

#include <cstdint>

#include "common/digest.h"
#include "common/progress.h"
#include "common/strings.h"
#include "platform/platform.h"

bool sha256_file_hex(const std::wstring& path, std::string& digest) {
  bool shown = false;
  uint32_t last_tick = 0;
  return sha256_of_file(path, digest, [&](uint64_t done, uint64_t size) {
    const uint32_t now = ui_clock();
    if (size == 0 || (shown && static_cast<uint32_t>(now - last_tick) <= 100 && done < size)) {
      pump_events();
      return;
    }
    set_progress(L"正在校验安装包... " + format_byte_size(done) + L" / " + format_byte_size(size),
                 bar::kDigest.from + (bar::kDigest.to - bar::kDigest.from) * static_cast<double>(done) /
                                         static_cast<double>(size));
    shown = true;
    last_tick = now;
  });
}

bool package_digest_matches(const std::wstring& path, const std::string& expected) {
  std::string digest;
  return sha256_file_hex(path, digest) && digest == expected;
}
