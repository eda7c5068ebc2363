#include "camsim/media_session.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "camsim/rtcp.h"

namespace camsim {
namespace {

using std::chrono::steady_clock;

constexpr std::chrono::seconds kReportInterval{1};
// Waits are cut into slices this long so that receiver reports are read while the thread waits.
constexpr std::chrono::milliseconds kReadSlice{20};
// A media thread this far behind its schedule (a loaded machine) starts a new schedule instead of
// catching up in a burst.
constexpr int kMaxLagFrames = 4;
constexpr int kPortPairAttempts = 64;
constexpr std::size_t kRtcpBufferSize = 2048;
constexpr int kSocketBufferBytes = 1 << 20;

int BindUdp(const std::string& address, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::uint16_t BoundPort(int fd) {
  sockaddr_in local{};
  socklen_t size = sizeof(local);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  return ntohs(local.sin_port);
}

sockaddr_in Destination(const in_addr& address, std::uint16_t port) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr = address;
  destination.sin_port = htons(port);
  return destination;
}

}  // namespace

MediaSession::MediaSession(std::string id, std::shared_ptr<const MediaSource> source,
                           MediaOptions options, RtspRecorder& recorder, MediaFaultSet& faults)
    : id_(std::move(id)),
      source_(std::move(source)),
      options_(std::move(options)),
      recorder_(recorder),
      faults_(faults) {
  std::random_device device;
  std::mt19937 random(device());
  ssrc_ = static_cast<std::uint32_t>(random());
  first_sequence_ = static_cast<std::uint16_t>(random());
  first_time_stamp_ = static_cast<std::uint32_t>(random());
  next_sequence_ = first_sequence_;
  time_stamp_ = first_time_stamp_;
}

MediaSession::~MediaSession() {
  Stop();
  if (rtp_socket_ >= 0) ::close(rtp_socket_);
  if (rtcp_socket_ >= 0) ::close(rtcp_socket_);
}

bool MediaSession::Open(const std::string& local_address, const in_addr& client,
                        std::uint16_t client_rtp, std::uint16_t client_rtcp, std::string* error) {
  for (int attempt = 0; attempt < kPortPairAttempts && rtp_socket_ < 0; ++attempt) {
    const int rtp = BindUdp(local_address, 0);
    if (rtp < 0) break;
    const std::uint16_t port = BoundPort(rtp);
    const int rtcp = (port % 2 == 0 && port != 0xFFFF)
                         ? BindUdp(local_address, static_cast<std::uint16_t>(port + 1))
                         : -1;
    if (rtcp < 0) {
      ::close(rtp);
      continue;
    }
    rtp_socket_ = rtp;
    rtcp_socket_ = rtcp;
    server_rtp_port_ = port;
  }
  if (rtp_socket_ < 0) {
    if (error) *error = "cannot bind an RTP/RTCP port pair on " + local_address;
    return false;
  }
  ::setsockopt(rtp_socket_, SOL_SOCKET, SO_SNDBUF, &kSocketBufferBytes, sizeof(kSocketBufferBytes));
  client_rtp_ = Destination(client, client_rtp);
  client_rtcp_ = Destination(client, client_rtcp);
  client_rtp_port_ = client_rtp;
  client_rtcp_port_ = client_rtcp;
  return true;
}

bool MediaSession::Play() {
  std::lock_guard control(control_mutex_);
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || rtp_socket_ < 0) return false;
  }
  if (!thread_.joinable()) {
    thread_ = std::thread([this] { Run(); });
    recorder_.Count(&RtspCounters::sessions_playing);
  }
  return true;
}

void MediaSession::Stop() {
  std::lock_guard control(control_mutex_);
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool MediaSession::WaitUntil(steady_clock::time_point deadline) {
  while (true) {
    {
      std::unique_lock lock(mutex_);
      if (stopping_) return false;
      const auto now = steady_clock::now();
      if (now >= deadline) return true;
      wake_.wait_until(lock, std::min(deadline, now + kReadSlice), [this] { return stopping_; });
      if (stopping_) return false;
    }
    ReadRtcp();
  }
}

void MediaSession::ReadRtcp() {
  char buffer[kRtcpBufferSize];
  while (true) {
    const ssize_t size = ::recv(rtcp_socket_, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (size < 0) return;
    const std::string_view datagram(buffer, static_cast<std::size_t>(size));
    if (IsReceiverReport(datagram)) recorder_.AddReceiverReport(std::string(datagram));
  }
}

void MediaSession::Run() {
  const auto interval = std::chrono::duration_cast<steady_clock::duration>(
      std::chrono::seconds(1)) / kStreamFrameRate;
  const auto ticks = static_cast<std::uint32_t>(kRtpClockRate / kStreamFrameRate);
  auto base = steady_clock::now();
  std::int64_t paced = 0;
  auto last_report = base - kReportInterval;
  std::size_t unit = 0;
  std::uint64_t index = 0;
  const std::size_t unit_count = source_->unit_count();
  while (WaitUntil(base + paced * interval)) {
    const auto stall_until = faults_.StallUntil();
    if (stall_until > steady_clock::now()) {
      if (!WaitUntil(stall_until)) break;
      base = steady_clock::now();
      paced = 0;
      continue;
    }
    const bool picture = SendUnit(unit, index++);
    unit = (unit + 1) % unit_count;
    // A header unit shares its picture's time stamp; the picture follows at once.
    if (picture) {
      time_stamp_taken_ = steady_clock::now();
      sent_picture_ = true;
      time_stamp_ += ticks;
      ++paced;
      if (time_stamp_taken_ > base + (paced + kMaxLagFrames) * interval) {
        base = time_stamp_taken_;
        paced = 1;
      }
    }
    if (sent_picture_ && steady_clock::now() - last_report >= kReportInterval) {
      SendSenderReport();
      last_report = steady_clock::now();
    }
  }
  held_.reset();
}

bool MediaSession::SendUnit(std::size_t unit, std::uint64_t index) {
  const std::uint64_t version = faults_.version();
  if (version != packet_faults_version_) {
    packet_faults_ = faults_.PacketFaults();
    packet_faults_version_ = version;
  }
  const PacketizedUnit packetized = source_->Packetize(unit, index);
  const std::vector<std::string>& payloads = packetized.payloads;
  SentFrame frame;
  frame.session = id_;
  frame.index = index;
  frame.clip_unit = packetized.clip_unit;
  frame.rtp_time = time_stamp_;
  frame.idr = packetized.idr;
  frame.parameter_sets = packetized.parameter_sets;
  frame.annexb_length = packetized.length;
  frame.first_sequence = next_sequence_;
  frame.packets = payloads.size();
  PacketTally tally;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    const bool last = i + 1 == payloads.size();
    std::string packet = RtpHeader(last && packetized.marker, source_->payload_type(),
                                   next_sequence_++, time_stamp_, ssrc_);
    packet += payloads[i];
    const bool release = held_.has_value();
    const PacketFate fate = packet_faults_.empty()
                                ? PacketFate{}
                                : filter_.Next(packet_faults_, PacketPlace{index, i, last});
    if (fate.padding > 0) {
      // RFC 3550 section 5.1: P set, zero octets, then the count of padding octets.
      packet[0] = static_cast<char>(packet[0] | 0x20);
      packet.append(static_cast<std::size_t>(fate.padding - 1), '\0');
      packet.push_back(static_cast<char>(fate.padding));
    }
    if (fate.drop) {
      ++tally.dropped;
    } else if (fate.hold && !release) {
      held_ = std::move(packet);
      ++tally.reordered;
    } else {
      SendDatagram(packet, tally);
      if (fate.duplicate) {
        SendDatagram(packet, tally);
        ++tally.duplicated;
      }
    }
    if (release) {
      SendDatagram(*held_, tally);
      held_.reset();
    }
  }
  frame.last_sequence = static_cast<std::uint16_t>(next_sequence_ - 1);
  frame.marker_time_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  recorder_.AddFrame(std::move(frame), tally);
  return !packetized.parameter_sets;
}

void MediaSession::SendDatagram(const std::string& packet, PacketTally& tally) {
  const ssize_t sent = ::sendto(rtp_socket_, packet.data(), packet.size(), 0,
                                reinterpret_cast<const sockaddr*>(&client_rtp_),
                                sizeof(client_rtp_));
  // A full socket buffer or an unreachable client loses the datagram, as on a network.
  if (sent == static_cast<ssize_t>(packet.size())) {
    ++tally.sent;
    ++packets_sent_;
    // The sender report counts payload octets, without header and padding.
    const std::size_t padding = (packet[0] & 0x20) != 0 ? static_cast<std::uint8_t>(packet.back()) : 0;
    octets_sent_ += static_cast<std::uint32_t>(packet.size() - kRtpHeaderSize - padding);
  }
}

void MediaSession::SendSenderReport() {
  const auto now_system = std::chrono::system_clock::now();
  const auto since_picture = steady_clock::now() - time_stamp_taken_;
  SenderReportFields fields;
  fields.ssrc = ssrc_;
  fields.ntp_time = NtpTime(now_system);
  // time_stamp_ is already the next picture's; the last one left at time_stamp_taken_.
  const auto ticks = static_cast<std::uint32_t>(kRtpClockRate / kStreamFrameRate);
  fields.rtp_time = time_stamp_ - ticks +
                    static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                   since_picture)
                                                   .count() *
                                               kRtpClockRate / 1'000'000);
  fields.packet_count = packets_sent_;
  fields.octet_count = octets_sent_;
  const std::string report = SenderReport(fields, options_.cname);
  const ssize_t sent = ::sendto(rtcp_socket_, report.data(), report.size(), 0,
                                reinterpret_cast<const sockaddr*>(&client_rtcp_),
                                sizeof(client_rtcp_));
  if (sent == static_cast<ssize_t>(report.size())) {
    recorder_.Count(&RtspCounters::sender_reports_sent);
  }
}

}  // namespace camsim
