// A TCP server on a loopback address whose replies a test scripts: the script runs on a thread of
// the server's own with each accepted connection, one connection at a time. It stands in for a
// camera's HTTP or RTSP side that misbehaves on purpose.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessavirn_test {

class ScriptedTcpServer {
 public:
  class Connection {
   public:
    Connection(int fd, ScriptedTcpServer& server) : fd_(fd), server_(server) {}
    // The next request: through its empty line, and the body its Content-Length announces. Empty
    // when the peer closed or 5 s passed. Every request read is added to the server's log.
    std::string ReadRequest() {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      for (;;) {
        const std::size_t end = buffer_.find("\r\n\r\n");
        if (end != std::string::npos) {
          const std::size_t field = buffer_.find("\r\nContent-Length: ");
          const std::size_t length =
              field != std::string::npos && field < end ? std::strtoul(buffer_.c_str() + field + 18, nullptr, 10) : 0;
          if (buffer_.size() >= end + 4 + length) {
            std::string request = buffer_.substr(0, end + 4 + length);
            buffer_.erase(0, end + 4 + length);
            server_.Log(request);
            return request;
          }
        }
        if (server_.stopping_.load() || std::chrono::steady_clock::now() > deadline) return {};
        pollfd wanted{fd_, POLLIN, 0};
        if (poll(&wanted, 1, 50) <= 0) continue;
        char chunk[4096];
        const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) return {};
        buffer_.append(chunk, static_cast<std::size_t>(got));
      }
    }
    // False once the peer is gone (or the test ends the server).
    bool Send(const std::string& text) {
      std::size_t sent = 0;
      while (sent < text.size() && !server_.stopping_.load()) {
        pollfd wanted{fd_, POLLOUT, 0};
        if (poll(&wanted, 1, 50) <= 0) continue;
        const ssize_t n = send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN) return false;
        if (n > 0) sent += static_cast<std::size_t>(n);
      }
      return sent == text.size();
    }
    // text one byte at a time, `gap` apart, then again from its start: a reply that never ends but
    // never stops coming either. Ends when the peer is gone or the server stops.
    void Trickle(const std::string& text, std::chrono::milliseconds gap) {
      for (std::size_t i = 0; !text.empty(); i = (i + 1) % text.size()) {
        if (!Send(text.substr(i, 1))) return;
        std::this_thread::sleep_for(gap);
      }
    }
    // chunk again and again as fast as the peer takes it, until it is gone or the server stops.
    void Flood(const std::string& chunk) {
      while (Send(chunk)) {
      }
    }
    // Reads requests without answering until the peer closes or the server stops.
    void Hold() {
      while (!server_.stopping_.load()) {
        pollfd wanted{fd_, POLLIN, 0};
        if (poll(&wanted, 1, 50) > 0) {
          char chunk[256];
          if (recv(fd_, chunk, sizeof chunk, MSG_PEEK) <= 0) return;
          ReadRequest();
        }
      }
    }

   private:
    int fd_;
    ScriptedTcpServer& server_;
    std::string buffer_;
  };

  using Script = std::function<void(Connection&)>;

  // Listens on address:port (0: a free port, see port()) at once, so a client may connect as soon
  // as this returns. The script serves the first connection, or with every_connection each one
  // in turn (a client that reconnects).
  ScriptedTcpServer(const char* address, std::uint16_t port, Script script, bool every_connection = false)
      : script_(std::move(script)), every_connection_(every_connection) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    inet_pton(AF_INET, address, &at.sin_addr);
    socklen_t length = sizeof at;
    listening_ = bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && listen(listener_, 4) == 0 &&
                 getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &length) == 0;
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedTcpServer() {
    stopping_.store(true);
    thread_.join();
    close(listener_);
  }
  bool listening() const { return listening_; }
  std::uint16_t port() const { return port_; }
  bool finished() const { return finished_.load(); }
  // Connections whose script has ended.
  int connections() const { return connections_.load(); }
  // Every request the scripts read, in order.
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
  }

 private:
  void Log(const std::string& request) {
    std::lock_guard<std::mutex> guard(mutex_);
    requests_.push_back(request);
  }

  void Run() {
    while (listening_ && !stopping_.load()) {
      pollfd wanted{listener_, POLLIN, 0};
      if (poll(&wanted, 1, 50) <= 0) continue;
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      Connection connection(fd, *this);
      script_(connection);
      close(fd);
      connections_.fetch_add(1);
      finished_.store(true);
      if (!every_connection_) return;
    }
  }

  Script script_;
  bool every_connection_ = false;
  int listener_ = -1;
  bool listening_ = false;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> finished_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace tessavirn_test
