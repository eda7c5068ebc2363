#include "rtsp_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace camsim_test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

sockaddr_in Address(const std::string& address, std::uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &result.sin_addr);
  return result;
}

int RemainingMs(steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
  return static_cast<int>(std::max<milliseconds::rep>(0, left.count()));
}

bool Readable(int socket, int timeout_ms) {
  pollfd entry{socket, POLLIN, 0};
  return ::poll(&entry, 1, timeout_ms) > 0;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

int BindUdp(const std::string& address, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in local = Address(address, port);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0) {
    const int buffer = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    return fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

}  // namespace

std::optional<std::string> RtspResponse::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (Lower(key) == Lower(name)) return value;
  }
  return std::nullopt;
}

std::string RtspResponse::SessionId() const {
  const std::string session = Header("Session").value_or("");
  return session.substr(0, session.find(';'));
}

RtspTestClient::~RtspTestClient() { Close(); }

bool RtspTestClient::Connect(const std::string& local_address, const std::string& server_address,
                             std::uint16_t port) {
  Close();
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) return false;
  const sockaddr_in local = Address(local_address, 0);
  const sockaddr_in server = Address(server_address, port);
  if (::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
      ::connect(socket_, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) != 0) {
    Close();
    return false;
  }
  return true;
}

void RtspTestClient::Close() {
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
  buffer_.clear();
}

bool RtspTestClient::Send(const std::string& text) {
  if (socket_ < 0) return false;
  return ::send(socket_, text.data(), text.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(text.size());
}

bool RtspTestClient::Fill(steady_clock::time_point deadline) {
  if (socket_ < 0 || !Readable(socket_, RemainingMs(deadline))) return false;
  char chunk[8192];
  const ssize_t received = ::recv(socket_, chunk, sizeof(chunk), 0);
  if (received <= 0) return false;
  buffer_.append(chunk, static_cast<std::size_t>(received));
  return true;
}

std::optional<RtspResponse> RtspTestClient::Read(milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  std::size_t end = std::string::npos;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!Fill(deadline)) return std::nullopt;
  }
  RtspResponse response;
  response.head = buffer_.substr(0, end + 4);
  std::size_t line_start = 0;
  bool first = true;
  while (line_start < end) {
    std::size_t line_end = buffer_.find("\r\n", line_start);
    const std::string line = buffer_.substr(line_start, line_end - line_start);
    line_start = line_end + 2;
    if (first) {
      first = false;
      response.status_line = line;
      if (line.size() > 12) response.status = std::atoi(line.c_str() + 9);
      continue;
    }
    const std::size_t colon = line.find(':');
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    response.headers.emplace_back(line.substr(0, colon), value);
  }
  buffer_.erase(0, end + 4);
  const std::size_t length =
      static_cast<std::size_t>(std::atol(response.Header("Content-Length").value_or("0").c_str()));
  while (buffer_.size() < length) {
    if (!Fill(deadline)) return std::nullopt;
  }
  response.body = buffer_.substr(0, length);
  buffer_.erase(0, length);
  return response;
}

std::optional<RtspResponse> RtspTestClient::Exchange(const std::string& text,
                                                     milliseconds timeout) {
  if (!Send(text)) return std::nullopt;
  return Read(timeout);
}

std::string RtspTestClient::ReceiveOnce(milliseconds timeout) {
  if (!buffer_.empty()) {
    std::string taken;
    taken.swap(buffer_);
    return taken;
  }
  if (socket_ < 0 || !Readable(socket_, static_cast<int>(timeout.count()))) return {};
  char chunk[65536];
  const ssize_t received = ::recv(socket_, chunk, sizeof(chunk), 0);
  return received > 0 ? std::string(chunk, static_cast<std::size_t>(received)) : std::string();
}

bool RtspTestClient::WaitForClose(milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  while (socket_ >= 0 && steady_clock::now() < deadline) {
    if (!Readable(socket_, RemainingMs(deadline))) continue;
    char chunk[4096];
    const ssize_t received = ::recv(socket_, chunk, sizeof(chunk), 0);
    if (received <= 0) return true;
  }
  return false;
}

std::string DriverRequests::Describe(unsigned cseq) const {
  return "DESCRIBE rtsp://" + host + ":554/VideoInput/" + std::to_string(input) + "/" + stream +
         "/1 RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nAccept: application/sdp\r\nUser-Agent: Kalmora\r\n\r\n";
}

std::string DriverRequests::Setup(unsigned cseq, unsigned rtp_port, unsigned rtcp_port) const {
  return "SETUP rtsp://" + host + ":554/VideoInput/" + std::to_string(input) + "/" + stream +
         "/1/trackID=1 RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nTransport: RTP/AVP;unicast;client_port=" + std::to_string(rtp_port) + "-" +
         std::to_string(rtcp_port) + "\r\nUser-Agent: Kalmora\r\n\r\n";
}

std::string DriverRequests::Play(unsigned cseq, const std::string& session) const {
  return "PLAY rtsp://" + host + ":554/VideoInput/" + std::to_string(input) + "/" + stream +
         "/1 RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\nSession: " + session +
         "\r\nRange: npt=0.000-\r\nUser-Agent: Kalmora\r\n\r\n";
}

std::string DriverRequests::Teardown(unsigned cseq, const std::string& session) const {
  return "TEARDOWN rtsp://" + host + ":554/VideoInput/" + std::to_string(input) + "/" + stream +
         "/1 RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\nSession: " + session +
         "\r\nUser-Agent: Kalmora\r\n\r\n";
}

std::string DriverRequests::Options(unsigned cseq, const std::string& session) const {
  return "OPTIONS rtsp://" + host + ":554/VideoInput/" + std::to_string(input) + "/" + stream +
         "/1 RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\nSession: " + session +
         "\r\nUser-Agent: Kalmora\r\n\r\n";
}

std::optional<RtpView> ParseRtp(const std::string& datagram) {
  if (datagram.size() < 12) return std::nullopt;
  auto byte = [&datagram](std::size_t i) { return static_cast<std::uint8_t>(datagram[i]); };
  RtpView view;
  view.version = byte(0) >> 6;
  view.marker = (byte(1) & 0x80) != 0;
  view.payload_type = byte(1) & 0x7F;
  view.sequence = static_cast<std::uint16_t>((byte(2) << 8) | byte(3));
  view.time_stamp = (std::uint32_t{byte(4)} << 24) | (byte(5) << 16) | (byte(6) << 8) | byte(7);
  view.ssrc = (std::uint32_t{byte(8)} << 24) | (byte(9) << 16) | (byte(10) << 8) | byte(11);
  view.payload = datagram.substr(12);
  return view;
}

UdpPair::~UdpPair() {
  if (rtp_socket_ >= 0) ::close(rtp_socket_);
  if (rtcp_socket_ >= 0) ::close(rtcp_socket_);
}

bool UdpPair::Open(const std::string& address) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    const int rtp = BindUdp(address, 0);
    if (rtp < 0) return false;
    sockaddr_in local{};
    socklen_t size = sizeof(local);
    ::getsockname(rtp, reinterpret_cast<sockaddr*>(&local), &size);
    const std::uint16_t port = ntohs(local.sin_port);
    const int rtcp = port % 2 == 0 ? BindUdp(address, static_cast<std::uint16_t>(port + 1)) : -1;
    if (rtcp < 0) {
      ::close(rtp);
      continue;
    }
    rtp_socket_ = rtp;
    rtcp_socket_ = rtcp;
    rtp_port_ = port;
    return true;
  }
  return false;
}

std::optional<std::string> UdpPair::ReceiveOn(int socket, milliseconds timeout) {
  if (socket < 0 || !Readable(socket, static_cast<int>(timeout.count()))) return std::nullopt;
  const ssize_t received = ::recv(socket, buffer_.data(), buffer_.size(), 0);
  if (received < 0) return std::nullopt;
  return std::string(buffer_.data(), static_cast<std::size_t>(received));
}

std::vector<RtpView> UdpPair::ReceiveRtp(std::size_t count, milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  std::vector<RtpView> packets;
  while (packets.size() < count && steady_clock::now() < deadline) {
    const std::optional<std::string> datagram =
        ReceiveOn(rtp_socket_, milliseconds(RemainingMs(deadline)));
    if (!datagram) continue;
    if (std::optional<RtpView> view = ParseRtp(*datagram)) packets.push_back(std::move(*view));
  }
  return packets;
}

std::vector<RtpView> UdpPair::ReceiveUnits(std::size_t units, milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  std::vector<RtpView> packets;
  std::size_t ended = 0;
  while (ended < units && steady_clock::now() < deadline) {
    const std::optional<std::string> datagram =
        ReceiveOn(rtp_socket_, milliseconds(RemainingMs(deadline)));
    if (!datagram) continue;
    std::optional<RtpView> view = ParseRtp(*datagram);
    if (!view) continue;
    if (view->marker) ++ended;
    packets.push_back(std::move(*view));
  }
  return packets;
}

std::optional<std::string> UdpPair::ReceiveRtcp(milliseconds timeout) {
  return ReceiveOn(rtcp_socket_, timeout);
}

bool UdpPair::SendRtcp(const std::string& datagram, const std::string& address,
                       std::uint16_t port) {
  const sockaddr_in destination = Address(address, port);
  return ::sendto(rtcp_socket_, datagram.data(), datagram.size(), 0,
                  reinterpret_cast<const sockaddr*>(&destination),
                  sizeof(destination)) == static_cast<ssize_t>(datagram.size());
}

void UdpPair::DrainRtp() {
  // Bounded, for a sender that keeps the queue full.
  for (int i = 0; i < 100000; ++i) {
    if (::recv(rtp_socket_, buffer_.data(), buffer_.size(), MSG_DONTWAIT) < 0) return;
  }
}

std::vector<ReceivedUnit> Reassemble(const std::vector<RtpView>& packets) {
  std::vector<ReceivedUnit> units;
  ReceivedUnit unit;
  bool in_fragment = false;
  for (const RtpView& packet : packets) {
    const std::string& payload = packet.payload;
    if (payload.empty()) {
      unit.damaged = true;
      continue;
    }
    const auto type = static_cast<std::uint8_t>(payload[0] & 0x1F);
    unit.packet_types.push_back(type);
    ++unit.packets;
    unit.time_stamp = packet.time_stamp;
    if (type >= 1 && type <= 23) {
      if (in_fragment) unit.damaged = true;
      in_fragment = false;
      unit.nal_units.push_back(payload);
    } else if (type == 24) {
      std::size_t at = 1;
      while (at + 2 <= payload.size()) {
        const std::size_t size = (static_cast<std::uint8_t>(payload[at]) << 8) |
                                 static_cast<std::uint8_t>(payload[at + 1]);
        at += 2;
        if (at + size > payload.size()) {
          unit.damaged = true;
          break;
        }
        unit.nal_units.push_back(payload.substr(at, size));
        at += size;
      }
    } else if (type == 28 && payload.size() > 2) {
      const auto header = static_cast<std::uint8_t>(payload[1]);
      const bool start = (header & 0x80) != 0;
      const bool end = (header & 0x40) != 0;
      if (start) {
        if (in_fragment) unit.damaged = true;
        unit.nal_units.push_back(
            std::string(1, static_cast<char>((payload[0] & 0xE0) | (header & 0x1F))));
        in_fragment = true;
      } else if (!in_fragment) {
        unit.damaged = true;
        continue;
      }
      unit.nal_units.back() += payload.substr(2);
      if (end) in_fragment = false;
    } else {
      unit.damaged = true;
    }
    if (packet.marker) {
      if (in_fragment) unit.damaged = true;
      in_fragment = false;
      units.push_back(std::move(unit));
      unit = ReceivedUnit();
    }
  }
  return units;
}

}  // namespace camsim_test
