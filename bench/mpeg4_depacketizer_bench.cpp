// Cost of the receive path of one MPEG-4 visual stream: RTP header parsing, the sequence check
// and depacketising, per packet and per byte, for a stream as a camera sends it at 8 Mbit/s and
// 25 pictures/s with one intra picture a second: the configuration header in the intra picture's
// first packet, payloads of up to 1400 bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "stream_bench.h"
#include "streaming/mpeg4_depacketizer.h"
#include "streaming/rtp_packet.h"

namespace kalmora {
namespace {

using bench::Packet;
using bench::PushBig;
using bench::RunDepacketize;
using bench::RunReceivePath;

constexpr std::size_t kMaxPayload = 1400;
constexpr int kPicturesPerSecond = 25;
constexpr std::size_t kBytesPerSecond = 8'000'000 / 8;
// The intra picture is four times the size of a predicted one.
constexpr std::size_t kPredictedSize = kBytesPerSecond / (kPicturesPerSecond + 3);
constexpr std::size_t kIntraSize = 4 * kPredictedSize;
constexpr std::uint32_t kTicksPerPicture = 90'000 / kPicturesPerSecond;

// One second of video.
std::vector<Packet> OneSecond() {
  // Visual object sequence, visual object, video object, video object layer start codes.
  const std::vector<std::uint8_t> header = {0, 0, 1, 0xB0, 0xF5, 0, 0, 1, 0xB5, 0x09, 0, 0, 1, 0x00,
                                            0, 0, 1, 0x20, 0x00, 0x84, 0x5D, 0x4C, 0x28, 0x58, 0x21, 0x20};
  std::vector<Packet> packets;
  std::uint16_t sequence = 65534;
  for (int picture = 0; picture < kPicturesPerSecond; ++picture) {
    std::vector<std::uint8_t> stream;
    if (picture == 0) stream = header;
    stream.insert(stream.end(), {0, 0, 1, 0xB6, static_cast<std::uint8_t>(picture == 0 ? 0x10 : 0x50)});
    const std::size_t size = picture == 0 ? kIntraSize : kPredictedSize;
    for (std::size_t i = stream.size(); i < size; ++i) stream.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    for (std::size_t offset = 0; offset < stream.size();) {
      const std::size_t length = std::min(kMaxPayload, stream.size() - offset);
      Packet packet;
      packet.marker = offset + length == stream.size();
      std::vector<std::uint8_t>& d = packet.datagram;
      d.push_back(0x80);                                                      // V=2
      d.push_back(static_cast<std::uint8_t>((packet.marker ? 0x80 : 0) | 96));  // M, PT=96
      PushBig(d, sequence++, 2);
      PushBig(d, static_cast<std::uint32_t>(picture) * kTicksPerPicture, 4);
      PushBig(d, 0x12345678, 4);  // SSRC
      d.insert(d.end(), stream.begin() + static_cast<std::ptrdiff_t>(offset),
               stream.begin() + static_cast<std::ptrdiff_t>(offset + length));
      offset += length;
      packets.push_back(std::move(packet));
    }
  }
  return packets;
}

// One picture out of the depacketiser: whether it is a frame.
bool TakePicture(CMpeg4Depacketizer& depacketizer, const std::uint8_t* payload, std::size_t length, bool marker,
                 bool gap) {
  const Mpeg4Picture picture = depacketizer.OnPayload(payload, length, marker, gap);
  benchmark::DoNotOptimize(picture.data.data());
  return picture.event == Mpeg4Event::kFrame;
}

void BM_Mpeg4Depacketize(benchmark::State& state) {
  CMpeg4Depacketizer depacketizer;
  RunDepacketize(state, OneSecond(), kPicturesPerSecond, [&](auto... args) { return TakePicture(depacketizer, args...); });
}
BENCHMARK(BM_Mpeg4Depacketize);

void BM_Mpeg4ReceivePath(benchmark::State& state) {
  CMpeg4Depacketizer depacketizer;
  RunReceivePath(state, OneSecond(), kPicturesPerSecond, [&](auto... args) { return TakePicture(depacketizer, args...); });
}
BENCHMARK(BM_Mpeg4ReceivePath);

}  // namespace
}  // namespace kalmora
