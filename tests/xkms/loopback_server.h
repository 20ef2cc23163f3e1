// A one-thread HTTP server on 127.0.0.1 for the validation tests: records
// the raw bytes of each request and plays a scripted answer.
#ifndef TESTS_XKMS_LOOPBACK_SERVER_H
#define TESTS_XKMS_LOOPBACK_SERVER_H

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LoopbackServer {
 public:
  enum class Mode {
    kAnswer,  // reads the request, sends the pieces one by one, closes
    kClose,   // reads the request, closes without a byte of answer
    kStall,   // reads the request, sends the pieces, then neither closes nor sends more
  };

  // Pieces go out as separate writes with a pause between them, so that the
  // client receives them in separate reads.
  explicit LoopbackServer(Mode mode, std::vector<std::string> pieces = {});
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  uint16_t port() const { return port_; }
  std::string Url(const std::string& object = "/xkms") const;

  // Connections accepted so far, and the raw bytes of the first request
  // (request line, headers and body, as received).
  int connections() const { return connections_.load(); }
  std::string request() const;

  // The HTTP answer of a whole body: status line, a closing connection, no
  // length header (the body runs to the close).
  static std::string Answer(const std::string& body, const std::string& status = "200 OK");

 private:
  void Serve();
  void Handle(int fd);

  Mode mode_;
  std::vector<std::string> pieces_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::string request_;
  std::thread thread_;
};

// A port on 127.0.0.1 on which nothing listens.
uint16_t ClosedPort();

#endif
