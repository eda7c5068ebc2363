// Feeds arbitrary RTP payload sequences (the records of payload_records.h) to the MPEG-4
// depacketiser and checks every picture it returns.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "streaming/mpeg4_depacketizer.h"
#include "payload_records.h"

namespace {

// The fuzzer stops on the trap and keeps the input.
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckPicture(const kalmora::Mpeg4Picture& picture,
                  const kalmora::CMpeg4Depacketizer& depacketizer, bool marker) {
  // Copy what the result points at, so the sanitizer sees any span outside the buffers.
  const std::vector<std::uint8_t> copy(picture.data.begin(), picture.data.end());
  Check(copy.size() <= kalmora::CMpeg4Depacketizer::kMaxPictureSize);
  Check(picture.broken == depacketizer.Broken());
  const std::span<const std::uint8_t> header = depacketizer.HeaderCache();
  Check(header.empty() || (header.size() >= 4 && header[0] == 0 && header[1] == 0 &&
                           header[2] == 1 && header[3] == 0xB0));
  switch (picture.event) {
    case kalmora::Mpeg4Event::kNone:
      Check(picture.data.empty());
      break;
    case kalmora::Mpeg4Event::kDamaged:
      Check(picture.data.empty() && picture.broken);
      break;
    case kalmora::Mpeg4Event::kFrame:
      Check(marker && !picture.broken && !copy.empty());
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kalmora::CMpeg4Depacketizer depacketizer;
  tessavirn_fuzz::ForEachPayloadRecord(data, size, [&](const tessavirn_fuzz::PayloadRecord& record) {
    const kalmora::Mpeg4Picture picture =
        depacketizer.OnPayload(record.payload, record.length, record.marker, record.gap);
    CheckPicture(picture, depacketizer, record.marker);
    if (record.refused) depacketizer.MarkBroken();
    if (record.reset) {
      depacketizer.Reset();
      Check(depacketizer.HeaderCache().empty() && depacketizer.Broken());
    }
  });
  return 0;
}
