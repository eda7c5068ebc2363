// Feeds arbitrary RTP payload sequences (the records of payload_records.h) to the H.264
// depacketiser and checks every access unit it returns.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "streaming/h264_depacketizer.h"
#include "payload_records.h"

namespace {

constexpr std::uint8_t kDelimiter[] = {0x00, 0x00, 0x01, 0x09, 0x30};

// The fuzzer stops on the trap and keeps the input.
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool StartsWithStartCode(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1;
}

void CheckUnit(const kalmora::H264AccessUnit& unit,
               const kalmora::CH264Depacketizer& depacketizer) {
  // Copy what the result points at, so the sanitizer sees any span outside the buffers.
  std::vector<std::uint8_t> copy(unit.header.begin(), unit.header.end());
  copy.insert(copy.end(), unit.body.begin(), unit.body.end());
  Check(copy.size() == unit.Size());
  Check(unit.event == kalmora::H264Event::kFrame || unit.header.empty());
  switch (unit.event) {
    case kalmora::H264Event::kNone:
      Check(unit.body.empty());
      break;
    case kalmora::H264Event::kDamaged:
      Check(unit.body.empty() && unit.broken && depacketizer.Broken());
      break;
    case kalmora::H264Event::kFrame:
      Check(unit.has_slice && StartsWithStartCode(unit.body));
      Check(unit.body.size() <= kalmora::CH264Depacketizer::kMaxAccessUnitSize + sizeof kDelimiter);
      Check(std::equal(std::begin(kDelimiter), std::end(kDelimiter),
                       unit.body.end() - sizeof kDelimiter));
      if (!unit.header.empty()) {
        Check(unit.key_frame && (unit.body[3] & 0x1F) != 7);
        Check(std::equal(unit.header.begin(), unit.header.end(), depacketizer.HeaderCache().begin(),
                         depacketizer.HeaderCache().end()));
      }
      break;
    case kalmora::H264Event::kHeader:
      Check(unit.has_sps && !unit.has_slice && !unit.key_frame && StartsWithStartCode(unit.body));
      Check(unit.body.data() == depacketizer.HeaderCache().data() &&
            unit.body.size() == depacketizer.HeaderCache().size());
      break;
    case kalmora::H264Event::kDiscarded:
      Check(!unit.has_slice && !unit.has_sps && !unit.key_frame && StartsWithStartCode(unit.body));
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kalmora::CH264Depacketizer depacketizer;
  tessavirn_fuzz::ForEachPayloadRecord(data, size, [&](const tessavirn_fuzz::PayloadRecord& record) {
    const kalmora::H264AccessUnit unit = depacketizer.OnPayload(record.payload, record.length, record.marker, record.gap);
    CheckUnit(unit, depacketizer);
    if (record.refused) depacketizer.MarkBroken();
    if (record.reset) {
      depacketizer.Reset();
      Check(depacketizer.HeaderCache().empty() && depacketizer.Broken());
    }
  });
  return 0;
}
