#include "loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

int ListenOnLoopback(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    throw std::runtime_error("bind/listen");
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

bool Readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) > 0;
}

// Content-Length of a header block, 0 when absent.
size_t ContentLength(const std::string& head) {
  const char* key = "\r\ncontent-length:";
  for (size_t i = 0; i + std::strlen(key) <= head.size(); ++i) {
    if (strncasecmp(head.c_str() + i, key, std::strlen(key)) == 0) {
      return std::strtoul(head.c_str() + i + std::strlen(key), nullptr, 10);
    }
  }
  return 0;
}

}  // namespace

LoopbackServer::LoopbackServer(Mode mode, std::vector<std::string> pieces)
    : mode_(mode), pieces_(std::move(pieces)) {
  listen_fd_ = ListenOnLoopback(&port_);
  thread_ = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
}

std::string LoopbackServer::Url(const std::string& object) const {
  return "http://127.0.0.1:" + std::to_string(port_) + object;
}

std::string LoopbackServer::request() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return request_;
}

std::string LoopbackServer::Answer(const std::string& body, const std::string& status) {
  return "HTTP/1.0 " + status + "\r\nConnection: close\r\n\r\n" + body;
}

void LoopbackServer::Serve() {
  while (!stop_) {
    if (!Readable(listen_fd_, 10)) continue;
    const int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    ++connections_;
    Handle(fd);
    close(fd);
  }
}

void LoopbackServer::Handle(int fd) {
  // The request: headers up to the blank line, then Content-Length bytes.
  std::string raw;
  size_t want = std::string::npos;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!stop_ && (want == std::string::npos || raw.size() < want) &&
         std::chrono::steady_clock::now() < deadline) {
    if (!Readable(fd, 10)) continue;
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    raw.append(buf, static_cast<size_t>(n));
    const size_t end = raw.find("\r\n\r\n");
    if (want == std::string::npos && end != std::string::npos) {
      want = end + 4 + ContentLength(raw.substr(0, end + 2));
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request_.empty()) request_ = raw;
  }
  switch (mode_) {
    case Mode::kClose:
      return;
    case Mode::kAnswer:
    case Mode::kStall:
      break;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  for (const std::string& piece : pieces_) {
    if (send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  if (mode_ == Mode::kStall) {
    while (!stop_) Readable(fd, 10);
  }
}

uint16_t ClosedPort() {
  uint16_t port = 0;
  close(ListenOnLoopback(&port));
  return port;
}
