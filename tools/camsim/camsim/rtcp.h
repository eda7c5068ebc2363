// RTCP packets of the sender side (RFC 3550 section 6).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace camsim {

constexpr std::uint8_t kRtcpSenderReport = 200;
constexpr std::uint8_t kRtcpReceiverReport = 201;
constexpr std::uint8_t kRtcpSourceDescription = 202;

// A 64-bit NTP time stamp: seconds since 1900 in the high word, the fraction in the low word.
std::uint64_t NtpTime(std::chrono::system_clock::time_point time);

struct SenderReportFields {
  std::uint32_t ssrc = 0;
  std::uint64_t ntp_time = 0;
  std::uint32_t rtp_time = 0;  // the same instant on the media clock
  std::uint32_t packet_count = 0;
  std::uint32_t octet_count = 0;  // payload octets, RTP headers not counted
};

// A compound packet: a sender report without report blocks (section 6.4.1), then a source
// description with one CNAME item (section 6.5), as section 6.1 asks of every compound packet.
std::string SenderReport(const SenderReportFields& fields, std::string_view cname);

// Whether a datagram is an RTCP compound packet that begins with a receiver report: version 2 and
// packet type 201.
bool IsReceiverReport(std::string_view datagram);

}  // namespace camsim
