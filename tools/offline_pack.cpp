// Writes offline installers. The trailer goes last, so the installer finds it in its last 4096
// bytes; the file appears under its name only once it is whole.
#include "offline_pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

uint32_t le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }

bool write_all(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool read_regular_file(const std::string& path, std::vector<unsigned char>& data, std::string& why) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    why = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = path + ": not a regular file";
    ::close(fd);
    return false;
  }
  data.clear();
  unsigned char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
  }
  ::close(fd);
  return true;
}

// The end record may be followed by a comment of at most 65535 bytes.
bool looks_like_zip(const std::vector<unsigned char>& z) {
  if (z.size() < 22) return false;
  static const unsigned char local[4] = {'P', 'K', 3, 4};
  static const unsigned char empty_end[4] = {'P', 'K', 5, 6};
  if (std::memcmp(z.data(), local, 4) != 0 && std::memcmp(z.data(), empty_end, 4) != 0) return false;
  size_t lowest = z.size() >= 22 + 65535 ? z.size() - 22 - 65535 : 0;
  for (size_t pos = z.size() - 22 + 1; pos-- > lowest;) {
    const unsigned char* e = z.data() + pos;
    if (le32(e) != 0x06054b50u) continue;
    uint16_t comment = le16(e + 20);
    if (pos + 22 + comment != z.size()) continue;
    uint32_t cd_size = le32(e + 12), cd_offset = le32(e + 16);
    if (cd_offset == 0xffffffffu || cd_size == 0xffffffffu) return true;   // zip64: trust the locator
    if (uint64_t(cd_offset) + cd_size <= pos) return true;
  }
  return false;
}

bool write_offline_installer(const std::string& installer, const std::string& package, const std::string& output,
                             size_t& program_size, size_t& package_size, std::string& why) {
  std::vector<unsigned char> program, zip;
  if (!read_regular_file(installer, program, why)) {
    why = "cannot read the installer program: " + why;
    return false;
  }
  if (!read_regular_file(package, zip, why)) {
    why = "cannot read the package: " + why;
    return false;
  }
  if (program.empty()) {
    why = installer + ": the installer program is empty";
    return false;
  }
  if (!looks_like_zip(zip)) {
    why = package + ": not a zip archive; the package must be a .zip file";
    return false;
  }

  struct stat st;
  stat(installer.c_str(), &st);
  mode_t mode = (st.st_mode & 07777) | S_IRUSR | S_IWUSR;

  std::string trailer = "MORV-PACKAGE:" + std::to_string(program.size()) + ":" + std::to_string(zip.size());
  std::string temp = output + ".tmp-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    why = "cannot create a file beside " + output + ": " + std::strerror(errno);
    return false;
  }
  bool ok = write_all(fd, program.data(), program.size()) && write_all(fd, zip.data(), zip.size()) &&
            write_all(fd, reinterpret_cast<const unsigned char*>(trailer.data()), trailer.size()) &&
            fchmod(fd, mode) == 0 && fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || std::rename(name.data(), output.c_str()) != 0) {
    int saved = errno;
    ::unlink(name.data());
    why = "cannot write " + output + ": " + std::strerror(saved);
    return false;
  }
  program_size = program.size();
  package_size = zip.size();
  return true;
}
