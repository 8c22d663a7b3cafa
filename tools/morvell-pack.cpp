// Writes an offline installer: the installer program, then the package zip, then the trailer
//   "MORV-PACKAGE:" <offset of the zip in decimal> ":" <length of the zip in decimal>
// which the installer reads back from the last 4096 bytes of its own file (of a signed file: the
// 4096 bytes before its certificate table). A Windows program's checksum, when it has one, is made
// again for the whole file. With --sign the finished file is signed with osslsigncode, which
// appends the signature after the trailer: packing comes first, signing last.
//
// usage: morvell-pack --installer <program> --package <zip> --output <file>
//                     [--sign <cert.pfx> [--password-file <file>] [--timestamp <url>]]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "package/pe_image.h"

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
  return read_whole(file, data, why) && read_pe_layout(data.data(), std::min(data.size(), kPeHeadSize), layout) &&
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

int main(int argc, char** argv) {
  std::string installer = value_of(argc, argv, "--installer");
  std::string package = value_of(argc, argv, "--package");
  std::string output = value_of(argc, argv, "--output");
  std::string certificate = value_of(argc, argv, "--sign");
  std::string password_file = value_of(argc, argv, "--password-file");
  std::string timestamp = value_of(argc, argv, "--timestamp");
  if (installer.empty() || package.empty() || output.empty()) {
    std::fprintf(stderr, "usage: morvell-pack --installer <program> --package <zip> --output <file>\n"
                         "                    [--sign <cert.pfx> [--password-file <file>] [--timestamp <url>]]\n");
    return 2;
  }
  std::vector<unsigned char> program, zip;
  std::string why;
  if (!read_whole(installer, program, why)) return fail("cannot read the installer program: " + why);
  if (!read_whole(package, zip, why)) return fail("cannot read the package: " + why);
  if (program.empty()) return fail(installer + ": the installer program is empty");
  if (!looks_like_zip(zip)) return fail(package + ": not a zip archive; the package must be a .zip file");
  if (is_signed(program))
    return fail(installer + ": the installer program is signed already; pack the unsigned program and sign the "
                            "offline installer (--sign)");

  struct stat st;
  stat(installer.c_str(), &st);
  mode_t mode = (st.st_mode & 07777) | S_IRUSR | S_IWUSR;

  std::string trailer = "MORV-PACKAGE:" + std::to_string(program.size()) + ":" + std::to_string(zip.size());
  set_checksum(program, zip, trailer);
  std::string name;
  int fd = temporary_beside(output, ".tmp-XXXXXX", name);
  if (fd < 0) return fail("cannot create a file beside " + output + ": " + std::strerror(errno));
  bool ok = write_all(fd, program.data(), program.size()) && write_all(fd, zip.data(), zip.size()) &&
            write_all(fd, reinterpret_cast<const unsigned char*>(trailer.data()), trailer.size()) &&
            fchmod(fd, mode) == 0 && fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    int saved = errno;
    ::unlink(name.data());
    return fail("cannot write " + output + ": " + std::strerror(saved));
  }
  if (!certificate.empty()) {
    std::string packed = name;
    fd = temporary_beside(output, ".signed-XXXXXX", name);
    if (fd < 0) {
      ::unlink(packed.c_str());
      return fail("cannot create a file beside " + output + ": " + std::strerror(errno));
    }
    ::close(fd);
    ::unlink(name.c_str());   // osslsigncode makes the file itself
    const size_t packed_size = program.size() + zip.size() + trailer.size();
    ok = sign(packed, name, certificate, password_file, timestamp) && chmod(name.c_str(), mode) == 0;
    ::unlink(packed.c_str());
    if (!ok || !signed_after(name, packed_size)) {
      ::unlink(name.c_str());
      return fail(ok ? "the signature was not appended after the package" : "cannot sign " + output);
    }
  }
  if (std::rename(name.c_str(), output.c_str()) != 0) {
    int saved = errno;
    ::unlink(name.c_str());
    return fail("cannot write " + output + ": " + std::strerror(saved));
  }
  std::printf("%s: %zu-byte installer + %zu-byte package%s\n", output.c_str(), program.size(), zip.size(),
              certificate.empty() ? "" : ", signed");
  return 0;
}
