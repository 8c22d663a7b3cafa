// Writes an offline installer: the installer program, then the package zip, then the trailer
//   "MORV-PACKAGE:" <offset of the zip in decimal> ":" <length of the zip in decimal>
// which the installer reads back from the last 4096 bytes of its own file.
//
// usage: morvell-pack --installer <program> --package <zip> --output <file>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "morvell-pack: %s\n", message.c_str());
  return 1;
}

bool read_whole(const std::string& path, std::vector<unsigned char>& data, std::string& why) {
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

uint32_t le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }

// A zip archive starts with a local file header and ends with an end-of-central-directory
// record (followed by at most a 65535-byte comment) that points inside the file.
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

std::string value_of(int argc, char** argv, const char* name) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return std::string();
}

}  // namespace

int main(int argc, char** argv) {
  std::string installer = value_of(argc, argv, "--installer");
  std::string package = value_of(argc, argv, "--package");
  std::string output = value_of(argc, argv, "--output");
  if (installer.empty() || package.empty() || output.empty()) {
    std::fprintf(stderr, "usage: morvell-pack --installer <program> --package <zip> --output <file>\n");
    return 2;
  }
  std::vector<unsigned char> program, zip;
  std::string why;
  if (!read_whole(installer, program, why)) return fail("cannot read the installer program: " + why);
  if (!read_whole(package, zip, why)) return fail("cannot read the package: " + why);
  if (program.empty()) return fail(installer + ": the installer program is empty");
  if (!looks_like_zip(zip)) return fail(package + ": not a zip archive; the package must be a .zip file");

  struct stat st;
  stat(installer.c_str(), &st);
  mode_t mode = (st.st_mode & 07777) | S_IRUSR | S_IWUSR;

  std::string trailer = "MORV-PACKAGE:" + std::to_string(program.size()) + ":" + std::to_string(zip.size());
  std::string temp = output + ".tmp-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return fail("cannot create a file beside " + output + ": " + std::strerror(errno));
  bool ok = write_all(fd, program.data(), program.size()) && write_all(fd, zip.data(), zip.size()) &&
            write_all(fd, reinterpret_cast<const unsigned char*>(trailer.data()), trailer.size()) &&
            fchmod(fd, mode) == 0 && fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || std::rename(name.data(), output.c_str()) != 0) {
    int saved = errno;
    ::unlink(name.data());
    return fail("cannot write " + output + ": " + std::strerror(saved));
  }
  std::printf("%s: %zu-byte installer + %zu-byte package\n", output.c_str(), program.size(), zip.size());
  return 0;
}
