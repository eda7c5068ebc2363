// A one-connection TCP server on port 554 of a loopback address whose replies a test scripts:
// the script runs on a thread of its own with the accepted connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace kalmora::testing {

class ScriptedRtspServer {
 public:
  class Connection {
   public:
    explicit Connection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
    // The next request (through its empty line); empty when the peer closed or 5 s passed.
    std::string ReadRequest() {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      for (;;) {
        const auto end = buffer_.find("\r\n\r\n");
        if (end != std::string::npos) {
          std::string request = buffer_.substr(0, end + 4);
          buffer_.erase(0, end + 4);
          return request;
        }
        if (stopping_.load() || std::chrono::steady_clock::now() > deadline) return {};
        pollfd wanted{fd_, POLLIN, 0};
        if (poll(&wanted, 1, 50) <= 0) continue;
        char chunk[2048];
        const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) return {};
        buffer_.append(chunk, static_cast<std::size_t>(got));
      }
    }
    // False once the peer is gone (or the test ends the server).
    bool Send(const std::string& text) {
      return !stopping_.load() && send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // text one byte at a time, `gap` apart, then again from its start: a camera whose reply
    // never ends but never stops coming either. Ends when the peer is gone or the server stops.
    void Trickle(const std::string& text, std::chrono::milliseconds gap) {
      for (std::size_t i = 0; !text.empty(); i = (i + 1) % text.size()) {
        if (!Send(text.substr(i, 1))) return;
        std::this_thread::sleep_for(gap);
      }
    }
    // chunk again and again as fast as the peer takes it, until it is gone or the server stops.
    void Flood(const std::string& chunk) {
      while (!stopping_.load()) {
        pollfd wanted{fd_, POLLOUT, 0};
        if (poll(&wanted, 1, 50) <= 0) continue;
        if (send(fd_, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) return;
      }
    }
    // Waits until the test ends the server or the peer closes.
    void Hold() {
      while (!stopping_.load()) {
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
    const std::atomic<bool>& stopping_;
    std::string buffer_;
  };

  using Script = std::function<void(Connection&)>;

  // Listens at once, so the client may connect as soon as this returns. The script serves the
  // first connection, or with every_connection each one in turn (a channel that reconnects).
  ScriptedRtspServer(const char* address, Script script, bool every_connection = false)
      : script_(std::move(script)), every_connection_(every_connection) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(554);
    inet_pton(AF_INET, address, &at.sin_addr);
    listening_ = bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && listen(listener_, 4) == 0;
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedRtspServer() {
    stopping_.store(true);
    thread_.join();
    close(listener_);
  }
  bool listening() const { return listening_; }
  bool finished() const { return finished_.load(); }
  // Connections whose script has ended.
  int connections() const { return connections_.load(); }

 private:
  void Run() {
    while (listening_ && !stopping_.load()) {
      pollfd wanted{listener_, POLLIN, 0};
      if (poll(&wanted, 1, 50) <= 0) continue;
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      Connection connection(fd, stopping_);
      script_(connection);
      close(fd);
      connections_.fetch_add(1);
      finished_.store(true);
      if (!every_connection_) return;
    }
  }

  Script script_;
  bool every_connection_ = false;
  std::atomic<int> connections_{0};
  int listener_ = -1;
  bool listening_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace kalmora::testing
