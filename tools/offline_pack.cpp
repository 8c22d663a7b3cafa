// Writes offline installers. The trailer goes last, so the installer finds it in its last 4096
// bytes (of a signed file: the 4096 bytes before its certificate table); the file appears under its
// name only once it is whole. Packing comes first, signing last: osslsigncode appends the
// signature after the trailer.
#include "offline_pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/pe_image.h"

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

// A signed program would have its signature cut off by the signing of the whole file.
bool is_signed(const std::vector<unsigned char>& program) {
  PeLayout layout;
  return read_pe_layout(program.data(), std::min(program.size(), kPeHeadSize), layout) && layout.table_size != 0;
}

// The program's checksum field made for the whole file: program, package and trailer.
void set_checksum(std::vector<unsigned char>& program, const std::vector<unsigned char>& zip, const std::string& trailer) {
  PeLayout layout;
  if (!read_pe_layout(program.data(), std::min(program.size(), kPeHeadSize), layout) || layout.checksum == 0) return;
  put_le32(program.data() + layout.checksum_at, 0);
  PeChecksum checksum;
  checksum.add(program.data(), program.size());
  checksum.add(zip.data(), zip.size());
  checksum.add(reinterpret_cast<const unsigned char*>(trailer.data()), trailer.size());
  put_le32(program.data() + layout.checksum_at, checksum.finish(program.size() + zip.size() + trailer.size()));
}

// Runs osslsigncode on `in`, writing `out`; true when it succeeded.
bool sign(const std::string& in, const std::string& out, const std::string& certificate,
          const std::string& password_file, const std::string& timestamp) {
  std::vector<std::string> args = {"osslsigncode", "sign", "-pkcs12", certificate, "-h", "sha256",
                                   "-n", "Morvell 安装器"};
  if (!password_file.empty()) args.insert(args.end(), {"-readpass", password_file});
  if (!timestamp.empty()) args.insert(args.end(), {"-ts", timestamp});
  args.insert(args.end(), {"-in", in, "-out", out});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    // Only its complaints are shown, on standard error; its "Succeeded" is ours to say.
    int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, 1);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "morvell-pack: cannot run osslsigncode (package osslsigncode): %s\n", std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The signature must follow the trailer, apart from the padding to its 8-byte boundary.
bool signed_after(const std::string& file, size_t packed_size) {
  std::vector<unsigned char> data;
  std::string why;
  PeLayout layout;
  return read_regular_file(file, data, why) && read_pe_layout(data.data(), std::min(data.size(), kPeHeadSize), layout) &&
         layout.table_offset >= packed_size && layout.table_offset - packed_size < 8;
}

// A file of our own beside `output`, for it to be renamed over `output` once whole.
int temporary_beside(const std::string& output, const char* what, std::string& name) {
  std::string pattern = output + what;
  std::vector<char> text(pattern.begin(), pattern.end());
  text.push_back('\0');
  int fd = mkstemp(text.data());
  name = text.data();
  return fd;
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
                             size_t& program_size, size_t& package_size, std::string& why, const PackSigning& signing) {
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
  if (is_signed(program)) {
    why = installer + ": the installer program is signed already; pack the unsigned program and sign the "
                      "offline installer (--sign)";
    return false;
  }

  struct stat st;
  stat(installer.c_str(), &st);
  mode_t mode = (st.st_mode & 07777) | S_IRUSR | S_IWUSR;

  std::string trailer = "MORV-PACKAGE:" + std::to_string(program.size()) + ":" + std::to_string(zip.size());
  set_checksum(program, zip, trailer);
  std::string name;
  int fd = temporary_beside(output, ".tmp-XXXXXX", name);
  if (fd < 0) {
    why = "cannot create a file beside " + output + ": " + std::strerror(errno);
    return false;
  }
  bool ok = write_all(fd, program.data(), program.size()) && write_all(fd, zip.data(), zip.size()) &&
            write_all(fd, reinterpret_cast<const unsigned char*>(trailer.data()), trailer.size()) &&
            fchmod(fd, mode) == 0 && fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    int saved = errno;
    ::unlink(name.c_str());
    why = "cannot write " + output + ": " + std::strerror(saved);
    return false;
  }
  if (!signing.certificate.empty()) {
    const std::string packed = name;
    fd = temporary_beside(output, ".signed-XXXXXX", name);
    if (fd < 0) {
      ::unlink(packed.c_str());
      why = "cannot create a file beside " + output + ": " + std::strerror(errno);
      return false;
    }
    ::close(fd);
    ::unlink(name.c_str());   // osslsigncode makes the file itself
    const size_t packed_size = program.size() + zip.size() + trailer.size();
    ok = sign(packed, name, signing.certificate, signing.password_file, signing.timestamp) &&
         chmod(name.c_str(), mode) == 0;
    ::unlink(packed.c_str());
    if (!ok || !signed_after(name, packed_size)) {
      ::unlink(name.c_str());
      why = ok ? "the signature was not appended after the package" : "cannot sign " + output;
      return false;
    }
  }
  if (std::rename(name.c_str(), output.c_str()) != 0) {
    int saved = errno;
    ::unlink(name.c_str());
    why = "cannot write " + output + ": " + std::strerror(saved);
    return false;
  }
  program_size = program.size();
  package_size = zip.size();
  return true;
}
