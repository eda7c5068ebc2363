#include "camsim/rtcp.h"

#include <algorithm>

namespace camsim {
namespace {

// Seconds from 1900-01-01 (NTP era 0) to 1970-01-01.
constexpr std::uint64_t kNtpUnixOffset = 2208988800u;
constexpr std::size_t kSenderReportSize = 28;
constexpr std::uint8_t kCnameItem = 1;
constexpr std::size_t kMaxCname = 255;

void Put32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(value >> shift);
}

}  // namespace

std::uint64_t NtpTime(std::chrono::system_clock::time_point time) {
  const auto since_epoch =
      std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
  const auto seconds = static_cast<std::uint64_t>(since_epoch / 1'000'000'000);
  const auto nanos = static_cast<std::uint64_t>(since_epoch % 1'000'000'000);
  const std::uint64_t fraction = (nanos << 32) / 1'000'000'000;
  return ((seconds + kNtpUnixOffset) << 32) | fraction;
}

std::string SenderReport(const SenderReportFields& fields, std::string_view cname) {
  cname = cname.substr(0, kMaxCname);
  std::string packet;
  packet += static_cast<char>(0x80);
  packet += static_cast<char>(kRtcpSenderReport);
  packet += '\0';  // length in 32-bit words less one
  packet += static_cast<char>(kSenderReportSize / 4 - 1);
  Put32(packet, fields.ssrc);
  Put32(packet, static_cast<std::uint32_t>(fields.ntp_time >> 32));
  Put32(packet, static_cast<std::uint32_t>(fields.ntp_time));
  Put32(packet, fields.rtp_time);
  Put32(packet, fields.packet_count);
  Put32(packet, fields.octet_count);

  // Source description: SSRC, the CNAME item, a zero item type ending the list, padding to a
  // 32-bit boundary.
  std::string chunk;
  Put32(chunk, fields.ssrc);
  chunk += static_cast<char>(kCnameItem);
  chunk += static_cast<char>(cname.size());
  chunk += cname;
  chunk += '\0';
  while (chunk.size() % 4 != 0) chunk += '\0';
  packet += static_cast<char>(0x81);
  packet += static_cast<char>(kRtcpSourceDescription);
  const std::size_t words = chunk.size() / 4;  // the header word is not counted
  packet += static_cast<char>(words >> 8);
  packet += static_cast<char>(words);
  packet += chunk;
  return packet;
}

bool IsReceiverReport(std::string_view datagram) {
  return datagram.size() >= 8 && (static_cast<unsigned char>(datagram[0]) >> 6) == 2 &&
         static_cast<unsigned char>(datagram[1]) == kRtcpReceiverReport;
}

}  // namespace camsim
