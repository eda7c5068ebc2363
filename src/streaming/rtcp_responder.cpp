#include "streaming/rtcp_responder.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <system_error>

namespace kalmora {
namespace {

constexpr int kSocketBufferSize = 65536;
constexpr char kDefaultCname[] = "default";

// RFC 3550 section 6.4.2: V=2, one report block, PT=201, length 7 words after the first.
constexpr std::uint8_t kReceiverReportHeader[] = {0x81, 0xC9, 0x00, 0x07};
// Section 6.5: V=2, one chunk, PT=202, length 5 words after the first.
constexpr std::uint8_t kSourceDescriptionHeader[] = {0x81, 0xCA, 0x00, 0x05};
constexpr std::uint8_t kCnameItem = 1;
// Delay since the last sender report, in 1/65536 s.
constexpr std::uint8_t kDelaySinceLastReport[] = {0x00, 0x00, 0x00, 0x01};

void PutBig32(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t ReadBig32(const std::uint8_t* in) {
  return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) |
         std::uint32_t{in[3]};
}

bool SetTimeout(int fd, int option, int milliseconds) {
  const timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return ::setsockopt(fd, SOL_SOCKET, option, &limit, sizeof limit) == 0;
}

bool SetSize(int fd, int option, int bytes) { return ::setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes) == 0; }

}  // namespace

CRTCPResponder::CRTCPResponder() = default;

CRTCPResponder::~CRTCPResponder() {
  RequestStop();
  std::lock_guard<std::mutex> lock(start_mutex_);
  Join();
}

std::array<std::uint8_t, CRTCPResponder::kReplySize> CRTCPResponder::BuildReply(
    std::uint32_t own_ssrc, std::uint32_t sender_ssrc, const std::uint8_t last_sr[4], std::uint16_t highest_sequence,
    const std::uint8_t* cname, std::size_t cname_length) {
  std::array<std::uint8_t, kReplySize> reply{};
  std::uint8_t* out = reply.data();
  std::memcpy(out, kReceiverReportHeader, 4);
  PutBig32(out + 4, own_ssrc);
  PutBig32(out + 8, sender_ssrc);
  // 12..15: fraction lost and cumulative number lost, both 0.
  out[18] = static_cast<std::uint8_t>(highest_sequence >> 8);
  out[19] = static_cast<std::uint8_t>(highest_sequence);
  // 20..23: interarrival jitter 0.
  std::memcpy(out + 24, last_sr, 4);
  std::memcpy(out + 28, kDelaySinceLastReport, 4);
  std::memcpy(out + 32, kSourceDescriptionHeader, 4);
  PutBig32(out + 36, own_ssrc);
  out[40] = kCnameItem;
  out[41] = static_cast<std::uint8_t>(cname_length);
  if (cname != nullptr) std::memcpy(out + 42, cname, std::min(cname_length, kCnameInReply));
  return reply;
}

bool CRTCPResponder::Start(std::uint16_t port) {
  std::lock_guard<std::mutex> lock(start_mutex_);
  if (running_.load()) return false;
  Join();

  port_.store(port);
  stop_.store(false);
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  std::uint32_t ssrc = 0;
  for (int i = 0; i < 4; ++i) ssrc = (ssrc << 8) | static_cast<std::uint32_t>(std::rand() & 0xFF);
  ssrc_.store(ssrc);

  cname_.fill(0);
  std::memcpy(cname_.data(), kDefaultCname, sizeof kDefaultCname - 1);
  char host[kCnameCapacity + 1] = {};
  if (::gethostname(host, kCnameCapacity) == 0 && host[0] != '\0') {
    cname_.fill(0);
    std::memcpy(cname_.data(), host, strnlen(host, kCnameCapacity));
  }
  cname_length_ =
      static_cast<std::uint8_t>(strnlen(reinterpret_cast<const char*>(cname_.data()), kCnameCapacity));
  last_socket_error_.store(0);

  // Bound here rather than on the thread, so that a port pair in use is reported to the caller.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      !SetSize(fd, SO_RCVBUF, kSocketBufferSize) || !SetTimeout(fd, SO_RCVTIMEO, kSocketTimeoutMs) ||
      !SetSize(fd, SO_SNDBUF, kSocketBufferSize) || !SetTimeout(fd, SO_SNDTIMEO, kSocketTimeoutMs)) {
    ::close(fd);
    return false;
  }
  if (port == 0) {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) port_.store(ntohs(bound.sin_port));
  }

  {
    std::lock_guard<std::mutex> socket_lock(socket_mutex_);
    socket_ = fd;
  }
  running_.store(true);
  try {
    thread_ = std::thread([this, fd] { Run(fd); });
  } catch (const std::system_error&) {
    running_.store(false);
    std::lock_guard<std::mutex> socket_lock(socket_mutex_);
    socket_ = -1;
    ::close(fd);
    return false;
  }
  return true;
}

void CRTCPResponder::RequestStop() {
  stop_.store(true);
  std::lock_guard<std::mutex> lock(socket_mutex_);
  if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
}

bool CRTCPResponder::StopRequested() const {
  return stop_.load();
}

bool CRTCPResponder::WaitForEnd() {
  std::lock_guard<std::mutex> lock(start_mutex_);
  if (!thread_.joinable()) return true;
  if (!StopRequested()) {
    std::unique_lock<std::mutex> end_lock(end_mutex_);
    ended_.wait_for(end_lock, std::chrono::milliseconds(kUnrequestedEndWaitMs), [this] { return !running_.load(); });
  }
  RequestStop();
  Join();
  return true;
}

void CRTCPResponder::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void CRTCPResponder::Run(int fd) {
  pthread_setname_np(pthread_self(), "RTCPResponder");
  std::uint8_t packet[kMaxPacketSize];
  bool replied = false;
  std::chrono::steady_clock::time_point last_reply;
  while (!StopRequested()) {
    sockaddr_in sender{};
    socklen_t sender_length = sizeof sender;
    const ssize_t received =
        ::recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&sender), &sender_length);
    if (received < 0) {
      const int error = errno;
      last_socket_error_.store(error);
      if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) RequestStop();
      continue;
    }
    // Also what a receive on the shut-down socket returns; the loop then sees the stop.
    if (static_cast<std::size_t>(received) <= kMaxIgnoredSize) continue;
    const CRtpSourceFilter* filter = source_filter_.load();
    const std::optional<std::uint32_t> stream = filter != nullptr ? filter->StreamSsrc() : std::nullopt;
    if (!stream || ReadBig32(packet + 4) != *stream) continue;
    // One reply per interval at most, so a flood of matching packets draws few replies.
    const auto now = std::chrono::steady_clock::now();
    if (replied && now - last_reply < std::chrono::milliseconds(kMinReplyIntervalMs)) continue;
    replied = true;
    last_reply = now;
    const auto length = static_cast<std::size_t>(received);
    // Echoed as the last-report field: bytes 12 to 15 (in a sender report the low word of its
    // NTP time stamp), zero where the packet is shorter.
    std::uint8_t last_sr[4] = {};
    for (std::size_t i = 0; i < 4 && 12 + i < length; ++i) last_sr[i] = packet[12 + i];
    std::uint16_t highest_sequence = 0;
    {
      std::lock_guard<std::mutex> lock(sequence_mutex_);
      highest_sequence = highest_sequence_;
    }
    const auto reply = BuildReply(ssrc_.load(), ReadBig32(packet + 4), last_sr, highest_sequence, cname_.data(),
                                  cname_length_);
    (void)::sendto(fd, reply.data(), reply.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sender),
                   sender_length);
  }
  {
    std::lock_guard<std::mutex> lock(socket_mutex_);
    ::close(fd);
    socket_ = -1;
  }
  {
    std::lock_guard<std::mutex> lock(end_mutex_);
    running_.store(false);
  }
  ended_.notify_all();
}

}  // namespace kalmora
