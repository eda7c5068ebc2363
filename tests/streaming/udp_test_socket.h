// A loopback UDP socket for the tests: the camera's side of an RTP or RTCP port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kalmora::test {

inline sockaddr_in LoopbackAddress(const std::string& address, std::uint16_t port) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &out.sin_addr);
  return out;
}

class UdpTestSocket {
 public:
  // Bound to address and port (0: a free one); valid() tells whether that worked.
  explicit UdpTestSocket(const std::string& address, std::uint16_t port = 0) : address_(address) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = LoopbackAddress(address, port);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~UdpTestSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  UdpTestSocket(const UdpTestSocket&) = delete;
  UdpTestSocket& operator=(const UdpTestSocket&) = delete;

  bool valid() const { return fd_ >= 0; }
  const std::string& address() const { return address_; }
  std::uint16_t port() const {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
    return ntohs(bound.sin_port);
  }

  // Sends to the port on this socket's own address (the port under test listens on all).
  bool SendTo(std::uint16_t port, const std::vector<std::uint8_t>& data) const {
    const sockaddr_in target = LoopbackAddress(address_, port);
    return ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) ==
           static_cast<ssize_t>(data.size());
  }

  // One datagram within timeout, with its sender; nullopt when none came.
  std::optional<std::vector<std::uint8_t>> Receive(std::chrono::milliseconds timeout,
                                                   sockaddr_in* sender = nullptr) const {
    pollfd waiting{fd_, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    std::vector<std::uint8_t> data(65536);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t received =
        ::recvfrom(fd_, data.data(), data.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
    if (received < 0) return std::nullopt;
    data.resize(static_cast<std::size_t>(received));
    if (sender != nullptr) *sender = from;
    return data;
  }

 private:
  std::string address_;
  int fd_ = -1;
};

// A free port number: bound on all addresses for a moment and released.
inline std::uint16_t FreeUdpPort() {
  UdpTestSocket probe("0.0.0.0");
  return probe.port();
}

// Counts and conditions shared between a receive thread and the test thread.
class Signal {
 public:
  template <typename Change>
  void Update(Change change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    changed_.notify_all();
  }
  template <typename Predicate>
  bool WaitFor(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, predicate);
  }
  std::mutex& mutex() { return mutex_; }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
};

// Sends datagrams to a port from its own thread, one every 200 us, until stopped or max_count
// are out; each carries its 32-bit number (big-endian) in bytes 8 to 11 of a 16-byte RTP-like
// packet.
class TrafficSender {
 public:
  TrafficSender(const std::string& address, std::uint16_t port, int max_count = 50000)
      : socket_(address), thread_([this, port, max_count] { Run(port, max_count); }) {}
  ~TrafficSender() { Stop(); }
  TrafficSender(const TrafficSender&) = delete;
  TrafficSender& operator=(const TrafficSender&) = delete;

  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  int sent() const { return sent_.load(); }

 private:
  void Run(std::uint16_t port, int max_count) {
    for (int i = 0; i < max_count && !stop_.load(); ++i) {
      std::vector<std::uint8_t> packet = {0x80, 0x60, 0, 0, 0, 0, 0, 0,
                                          static_cast<std::uint8_t>(i >> 24), static_cast<std::uint8_t>(i >> 16),
                                          static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i),
                                          0x65, 0x01, 0x02, 0x03};
      socket_.SendTo(port, packet);
      sent_.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  UdpTestSocket socket_;
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
  std::thread thread_;
};

}  // namespace kalmora::test
