// Cost of the receive path of one JPEG stream: RTP header parsing, the sequence check and
// depacketising, per packet and per byte, for a stream as a camera sends it at 8 Mbit/s and
// 25 frames/s: pictures of 40000 bytes of scan data, type 1, in payloads of up to 1400 bytes.
// The argument is Q: 80 (tables made from Q) or 255 (tables in every first fragment).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "streaming/jpeg_depacketizer.h"
#include "stream_bench.h"
#include "streaming/rtp_packet.h"

namespace kalmora {
namespace {

using bench::Packet;
using bench::PushBig;
using bench::RunDepacketize;
using bench::RunReceivePath;

constexpr std::size_t kMaxPayload = 1400;
constexpr int kFramesPerSecond = 25;
constexpr std::size_t kScanSize = 8'000'000 / 8 / kFramesPerSecond;
constexpr std::uint32_t kTicksPerFrame = 90'000 / kFramesPerSecond;

// One second of video.
std::vector<Packet> OneSecond(std::uint8_t q) {
  std::vector<Packet> packets;
  std::uint16_t sequence = 65534;
  for (int frame = 0; frame < kFramesPerSecond; ++frame) {
    for (std::size_t offset = 0; offset < kScanSize;) {
      Packet packet;
      std::vector<std::uint8_t>& d = packet.datagram;
      std::size_t room = kMaxPayload - 8;
      const bool tables = offset == 0 && q >= 128;
      if (tables) room -= 4 + 128;
      const std::size_t size = std::min(room, kScanSize - offset);
      packet.marker = offset + size == kScanSize;
      d.push_back(0x80);                                                      // V=2
      d.push_back(static_cast<std::uint8_t>((packet.marker ? 0x80 : 0) | 26));  // M, PT=26
      PushBig(d, sequence++, 2);
      PushBig(d, static_cast<std::uint32_t>(frame) * kTicksPerFrame, 4);
      PushBig(d, 0x12345678, 4);  // SSRC
      // RFC 2435 main header: offset, type 1, Q, 640 x 480.
      PushBig(d, static_cast<std::uint32_t>(offset), 4);
      d.insert(d.end(), {1, q, 80, 60});
      if (tables) {
        d.insert(d.end(), {0, 0, 0, 128});
        d.insert(d.end(), 128, 8);
      }
      for (std::size_t i = 0; i < size; ++i) d.push_back(static_cast<std::uint8_t>(i * 7 + 1));
      offset += size;
      packets.push_back(std::move(packet));
    }
  }
  return packets;
}

// One picture out of the depacketiser: whether it is a frame.
bool TakePicture(CJpegDepacketizer& depacketizer, const std::uint8_t* payload, std::size_t length, bool marker,
                 bool gap) {
  const JpegFrame frame = depacketizer.OnPayload(payload, length, marker, gap);
  benchmark::DoNotOptimize(frame.jpeg.data());
  return frame.event == JpegEvent::kFrame;
}

void BM_JpegDepacketize(benchmark::State& state) {
  CJpegDepacketizer depacketizer;
  depacketizer.OnPayload(nullptr, 0, true, false);  // the first marker ends the broken state
  RunDepacketize(state, OneSecond(static_cast<std::uint8_t>(state.range(0))), kFramesPerSecond,
                 [&](auto... args) { return TakePicture(depacketizer, args...); });
}
BENCHMARK(BM_JpegDepacketize)->Arg(80)->Arg(255);

void BM_JpegReceivePath(benchmark::State& state) {
  CJpegDepacketizer depacketizer;
  depacketizer.OnPayload(nullptr, 0, true, false);
  RunReceivePath(state, OneSecond(static_cast<std::uint8_t>(state.range(0))), kFramesPerSecond,
                 [&](auto... args) { return TakePicture(depacketizer, args...); });
}
BENCHMARK(BM_JpegReceivePath)->Arg(80)->Arg(255);

}  // namespace
}  // namespace kalmora
