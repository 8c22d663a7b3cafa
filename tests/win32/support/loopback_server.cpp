#include "support/loopback_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

namespace testing_support {

static std::mutex& request_mutex() {
  static std::mutex m;
  return m;
}

LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(s, 16) != 0) {
    if (s != INVALID_SOCKET) closesocket(s);
    return;
  }
  int length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  listener_ = static_cast<uintptr_t>(s);
  thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  if (listener_ != ~static_cast<uintptr_t>(0)) closesocket(static_cast<SOCKET>(listener_));
  if (thread_.joinable()) thread_.join();
  WSACleanup();
}

std::string LoopbackServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string LoopbackServer::last_request() const {
  std::lock_guard<std::mutex> lock(request_mutex());
  return last_request_;
}

static const char* reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 404: return "Not Found";
    default: return "Status";
  }
}

void LoopbackServer::serve() {
  SOCKET listener = static_cast<SOCKET>(listener_);
  while (!stop_) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval wait{0, 100000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
    SOCKET client = accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      int n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
    }
    {
      std::lock_guard<std::mutex> lock(request_mutex());
      last_request_ = request;
    }
    ++requests_;
    size_t first_space = request.find(' ');
    size_t second_space = request.find(' ', first_space + 1);
    std::string path = first_space == std::string::npos || second_space == std::string::npos
                           ? std::string("/")
                           : request.substr(first_space + 1, second_space - first_space - 1);
    LoopbackResponse response = handler_(path);
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
    if (response.content_length && response.status != 204 && response.status != 304)
      head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    head += response.headers + "Connection: close\r\n\r\n";
    std::string all = head + response.body;
    for (size_t sent = 0; sent < all.size();) {
      int n = send(client, all.data() + sent, static_cast<int>(all.size() - sent), 0);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(client, SD_SEND);
    closesocket(client);
  }
}

}  // namespace testing_support
