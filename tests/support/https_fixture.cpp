#include "support/https_fixture.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace testing_support {

namespace {

const char kServerScript[] = MORVELL_SOURCE_DIR "/tests/support/https_server.py";
constexpr int kStartTimeoutMs = 30000;

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Reads the "ready <port> <plain-port>" line, waiting at most kStartTimeoutMs.
bool read_ready_line(int fd, int& port, int& plain_port) {
  std::string line;
  int waited = 0;
  while (waited < kStartTimeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, 100);
    if (r < 0) return false;
    if (r == 0) {
      waited += 100;
      continue;
    }
    char c;
    ssize_t n = read(fd, &c, 1);
    if (n <= 0) return false;
    if (c == '\n') break;
    line += c;
  }
  return std::sscanf(line.c_str(), "ready %d %d", &port, &plain_port) == 2 && port > 0;
}

}  // namespace

bool make_test_certificates(const std::string& dir, TestCertificates& out, const std::string& names) {
  out.ca = dir + "/ca.pem";
  out.cert = dir + "/server.pem";
  out.key = dir + "/server.key";
  const std::string d = quoted(dir);
  std::string first = names.substr(0, names.find(','));
  first = first.substr(first.find(':') + 1);
  std::string script =
      "cd " + d + " && "
      "printf 'subjectAltName=%s\\nbasicConstraints=CA:FALSE\\n"
      "keyUsage=critical,digitalSignature,keyEncipherment\\nextendedKeyUsage=serverAuth\\n' " + quoted(names) + " > server.ext && "
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
      "-days 2 -subj '/CN=Morvell Test CA' -addext basicConstraints=critical,CA:TRUE "
      "-addext keyUsage=critical,keyCertSign,cRLSign && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.csr "
      "-subj " + quoted("/CN=" + first) + " && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
      "-extfile server.ext";
  return run_shell("(" + script + ") >/dev/null 2>&1") == 0 && exists(out.ca) && exists(out.cert) &&
         exists(out.key);
}

HttpsServer::HttpsServer(const std::string& root, int port, const std::string& names) : root_(root) {
  const std::string wanted = std::to_string(port);
  if (!make_test_certificates(certs_dir_.path(), certificates_, names)) return;
  int out[2];
  if (pipe(out) != 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    // The system interpreter when there is one: version-manager shims are slow to start.
    const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    execlp(python, "python3", kServerScript, "--root", root.c_str(), "--cert", certificates_.cert.c_str(),
           "--key", certificates_.key.c_str(), "--port", wanted.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    return;
  }
  pid_ = pid;
  int given = 0, plain = 0;
  bool ready = read_ready_line(out[0], given, plain);
  close(out[0]);
  if (!ready) return;
  port_ = given;
  plain_port_ = plain;
  for (Saved& s : saved_) {
    const char* value = std::getenv(s.name);
    s.set = value != nullptr;
    s.value = value ? value : "";
  }
  setenv("SSL_CERT_FILE", certificates_.ca.c_str(), 1);
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
}

HttpsServer::~HttpsServer() {
  if (port_ > 0) {
    for (const Saved& s : saved_) {
      if (s.set)
        setenv(s.name, s.value.c_str(), 1);
      else
        unsetenv(s.name);
    }
  }
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 50; ++i) {   // at most 5 s, then no more asking
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    usleep(100 * 1000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string HttpsServer::base_url() const { return "https://127.0.0.1:" + std::to_string(port_); }
std::string HttpsServer::url(const std::string& path) const { return base_url() + path; }
std::string HttpsServer::plain_url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(plain_port_) + path;
}

}  // namespace testing_support
