// A small RTSP client and RTP/RTCP receiver on raw sockets, for the simulator's RTSP tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace camsim_test {

struct RtspResponse {
  std::string status_line;
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  std::string head;  // status line and headers as received, up to the empty line
  std::string body;

  std::optional<std::string> Header(const std::string& name) const;
  // The Session header's id, without ";timeout=...".
  std::string SessionId() const;
};

// One TCP control connection. Its socket is bound to the test's own address before it connects,
// so the server sees that address as the peer and sends the media there.
class RtspTestClient {
 public:
  RtspTestClient() = default;
  ~RtspTestClient();
  RtspTestClient(const RtspTestClient&) = delete;
  RtspTestClient& operator=(const RtspTestClient&) = delete;

  bool Connect(const std::string& local_address, const std::string& server_address,
               std::uint16_t port);
  bool Send(const std::string& text);
  // Reads one reply: the headers up to the empty line, then Content-Length bytes of body.
  std::optional<RtspResponse> Read(std::chrono::milliseconds timeout);
  std::optional<RtspResponse> Exchange(const std::string& text, std::chrono::milliseconds timeout);
  // What one receive returns once data has arrived (empty after timeout or at the end).
  std::string ReceiveOnce(std::chrono::milliseconds timeout);
  // Whether the server closed the connection within timeout (buffered data is skipped).
  bool WaitForClose(std::chrono::milliseconds timeout);
  void Close();

 private:
  // Receives into buffer_; false after timeout, on error or at the end of the stream.
  bool Fill(std::chrono::steady_clock::time_point deadline);

  int socket_ = -1;
  std::string buffer_;
};

// The driver's request texts, with "%u"-style fields filled in. The URL always names port 554.
struct DriverRequests {
  std::string host;
  unsigned input = 1;
  std::string stream = "h264";

  std::string Describe(unsigned cseq) const;
  std::string Setup(unsigned cseq, unsigned rtp_port, unsigned rtcp_port) const;
  std::string Play(unsigned cseq, const std::string& session) const;
  std::string Teardown(unsigned cseq, const std::string& session) const;
  std::string Options(unsigned cseq, const std::string& session) const;
};

struct RtpView {
  int version = 0;
  bool marker = false;
  std::uint8_t payload_type = 0;
  std::uint16_t sequence = 0;
  std::uint32_t time_stamp = 0;
  std::uint32_t ssrc = 0;
  std::string payload;
};
// The fixed header of a datagram without CSRCs or extension; nullopt for anything shorter.
std::optional<RtpView> ParseRtp(const std::string& datagram);

// An RTP socket on an even port and its RTCP socket on the next, on the test's address.
class UdpPair {
 public:
  UdpPair() = default;
  ~UdpPair();
  UdpPair(const UdpPair&) = delete;
  UdpPair& operator=(const UdpPair&) = delete;

  bool Open(const std::string& address);
  std::uint16_t rtp_port() const { return rtp_port_; }
  std::uint16_t rtcp_port() const { return static_cast<std::uint16_t>(rtp_port_ + 1); }

  // Datagrams on the RTP port until count arrived or timeout passed.
  std::vector<RtpView> ReceiveRtp(std::size_t count, std::chrono::milliseconds timeout);
  // Receives RTP until an access unit has ended (a marker packet) at least units times, or
  // timeout passes. Whole access units make the reassembly checks simpler.
  std::vector<RtpView> ReceiveUnits(std::size_t units, std::chrono::milliseconds timeout);
  // One datagram on the RTCP port.
  std::optional<std::string> ReceiveRtcp(std::chrono::milliseconds timeout);
  // Sends from the RTCP socket to address:port.
  bool SendRtcp(const std::string& datagram, const std::string& address, std::uint16_t port);
  // Drops whatever is queued on the RTP socket.
  void DrainRtp();

 private:
  std::optional<std::string> ReceiveOn(int socket, std::chrono::milliseconds timeout);

  int rtp_socket_ = -1;
  int rtcp_socket_ = -1;
  std::uint16_t rtp_port_ = 0;
  std::vector<char> buffer_ = std::vector<char>(65536);
};

// An access unit rebuilt from RTP packets: single NAL units, STAP-A and FU-A (RFC 6184).
struct ReceivedUnit {
  std::vector<std::string> nal_units;
  std::uint32_t time_stamp = 0;
  std::size_t packets = 0;
  std::vector<std::uint8_t> packet_types;  // the payloads' NAL unit type fields
  bool damaged = false;  // an FU-A fragment out of place
};
// Splits packets at marker bits; packets after the last marker are left out.
std::vector<ReceivedUnit> Reassemble(const std::vector<RtpView>& packets);

}  // namespace camsim_test
