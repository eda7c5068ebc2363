// Feeds arbitrary datagrams to the RTP header parser. An input is one datagram as it would
// arrive on the RTP port; with the P bit its last octet is the padding count, which the parser
// must take off the payload or reject. Its first four bytes also serve as two sequence numbers
// for the wrap-aware arithmetic, and every 16-bit word of it goes through one sequence check.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "streaming/rtp_packet.h"

namespace {

// The fuzzer stops on the trap and keeps the input.
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckPacket(const std::uint8_t* data, std::size_t size, const kalmora::RtpPacket& packet) {
  Check(size >= 12);
  Check(packet.version == 2);
  Check(packet.csrc_count <= 15);
  Check((packet.csrc_list != nullptr) == (packet.csrc_count != 0));
  Check((packet.extension_data != nullptr) == packet.extension);
  std::size_t header = 12 + 4 * std::size_t{packet.csrc_count};
  if (packet.extension) header += 4 + 4 * std::size_t{packet.extension_length};
  Check(packet.payload == data + header);
  Check(packet.padding == ((data[0] & 0x20) != 0));
  // The padding, count octet included, ends the datagram and is not part of the payload.
  const std::size_t padding = packet.padding ? data[size - 1] : 0;
  Check(!packet.padding || padding >= 1);
  Check(header + packet.payload_length + padding == size);
  // Copy what the record points at, so the sanitizer sees any pointer outside the datagram.
  std::vector<std::uint8_t> copy;
  if (packet.csrc_list != nullptr)
    copy.assign(packet.csrc_list, packet.csrc_list + 4 * packet.csrc_count);
  if (packet.extension_data != nullptr) {
    copy.assign(packet.extension_data, packet.extension_data + 4 * packet.extension_length);
  }
  copy.assign(packet.payload, packet.payload + packet.payload_length);
  Check(packet.sequence_number == ((data[2] << 8) | data[3]));
  Check(packet.marker == ((data[1] & 0x80) != 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kalmora::RtpPacket packet;
  if (kalmora::ParseRtpPacket(data, size, packet)) CheckPacket(data, size, packet);

  if (size >= 4) {
    const auto a = static_cast<std::uint16_t>((data[0] << 8) | data[1]);
    const auto b = static_cast<std::uint16_t>((data[2] << 8) | data[3]);
    Check(kalmora::IsNextSequence(a, b) == (kalmora::SequenceDelta(b, a) == 1));
    Check(static_cast<std::uint16_t>(a + kalmora::SequenceDelta(b, a)) == b);
  }
  // A rejected padded datagram has a count of 0 or one past what follows the header.
  if (size > 12 && (data[0] & 0x20) != 0 && data[size - 1] == 0) Check(!kalmora::ParseRtpPacket(data, size, packet));

  kalmora::CRtpSequenceCheck check;
  std::uint16_t last = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto number = static_cast<std::uint16_t>((data[i] << 8) | data[i + 1]);
    const kalmora::RtpSequenceResult result = check.Check(0x1234, number);
    const int delta = kalmora::SequenceDelta(number, last);
    if (i == 0) {
      Check(result == kalmora::RtpSequenceResult::kInOrder);
    } else if (delta <= 0 && delta > -kalmora::CRtpSequenceCheck::kMisorderWindow) {
      Check(result == kalmora::RtpSequenceResult::kStale);
    } else {
      Check(result == (delta == 1 ? kalmora::RtpSequenceResult::kInOrder : kalmora::RtpSequenceResult::kGap));
    }
    if (result != kalmora::RtpSequenceResult::kStale) last = number;
    Check(check.Last() == last);
  }
  return 0;
}
