// A small HTTP/1.1 server on 127.0.0.1 for the Windows tests: one thread, one request per
// connection, answers chosen by the request path.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace testing_support {

struct LoopbackResponse {
  int status = 200;
  std::string headers;        // extra header lines, each ended by "\r\n"
  std::string body;
  bool content_length = true; // send Content-Length (else the body ends with the connection)
};

class LoopbackServer {
 public:
  using Handler = std::function<LoopbackResponse(const std::string& path)>;
  explicit LoopbackServer(Handler handler);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  int port() const { return port_; }
  std::string url(const std::string& path) const;
  int requests() const { return requests_; }
  std::string last_request() const;

 private:
  void serve();
  Handler handler_;
  uintptr_t listener_ = ~static_cast<uintptr_t>(0);
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::string last_request_;
  std::thread thread_;
};

}  // namespace testing_support
