// Cost of the receive path of one H.264 stream: RTP header parsing, the sequence check and
// depacketising, per packet and per byte, for a stream as a camera sends it at 8 Mbit/s and
// 25 frames/s: a group of 25 pictures per second, opened by SPS and PPS in an access unit of
// their own and an IDR picture, then predicted pictures; NAL units of up to 1400 bytes go in
// single NAL unit packets, larger ones in FU-A fragments of 1400 bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "streaming/h264_depacketizer.h"
#include "stream_bench.h"
#include "streaming/rtp_packet.h"

namespace kalmora {
namespace {

using bench::Packet;
using bench::PushBig;
using bench::RunDepacketize;
using bench::RunReceivePath;
using bench::SetRates;

constexpr std::size_t kMaxPayload = 1400;
constexpr std::size_t kBytesPerSecond = 8'000'000 / 8;
constexpr int kFramesPerSecond = 25;
constexpr std::size_t kIdrSize = 100'000;
constexpr std::size_t kSmallPictureSize = 1'200;  // fits one packet
constexpr int kSmallPictures = 4;
constexpr std::uint32_t kTicksPerFrame = 90'000 / kFramesPerSecond;

class StreamBuilder {
 public:
  void AccessUnit(const std::vector<std::vector<std::uint8_t>>& nal_units) {
    for (std::size_t i = 0; i < nal_units.size(); ++i) {
      Nal(nal_units[i], i + 1 == nal_units.size());
    }
    time_stamp_ += kTicksPerFrame;
  }
  std::vector<Packet> Take() { return std::move(packets_); }

 private:
  void Nal(const std::vector<std::uint8_t>& nal, bool last) {
    if (nal.size() <= kMaxPayload) {
      Add(nal.data(), nal.size(), nullptr, last);
      return;
    }
    // RFC 6184 section 5.8: FU indicator and FU header in place of the NAL header.
    const std::uint8_t type = nal[0] & 0x1F;
    for (std::size_t offset = 1; offset < nal.size();) {
      const std::size_t size = std::min(kMaxPayload - 2, nal.size() - offset);
      const bool end = offset + size == nal.size();
      const std::uint8_t fu[2] = {
          static_cast<std::uint8_t>((nal[0] & 0xE0) | 28),
          static_cast<std::uint8_t>((offset == 1 ? 0x80 : 0) | (end ? 0x40 : 0) | type)};
      Add(nal.data() + offset, size, fu, last && end);
      offset += size;
    }
  }
  void Add(const std::uint8_t* data, std::size_t size, const std::uint8_t* fu, bool marker) {
    Packet packet;
    packet.marker = marker;
    std::vector<std::uint8_t>& d = packet.datagram;
    d.push_back(0x80);  // V=2, no padding, extension or CSRC
    d.push_back(static_cast<std::uint8_t>((marker ? 0x80 : 0) | 96));  // M, PT=96
    PushBig(d, sequence_, 2);
    PushBig(d, time_stamp_, 4);
    PushBig(d, 0x12345678, 4);  // SSRC
    if (fu != nullptr) d.insert(d.end(), fu, fu + 2);
    d.insert(d.end(), data, data + size);
    packets_.push_back(std::move(packet));
    ++sequence_;
  }

  std::vector<Packet> packets_;
  std::uint16_t sequence_ = 65534;
  std::uint32_t time_stamp_ = 0;
};

std::vector<std::uint8_t> Nal(std::uint8_t header, std::size_t size) {
  std::vector<std::uint8_t> nal(size);
  nal[0] = header;
  for (std::size_t i = 1; i < size; ++i) nal[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return nal;
}

// One second of video.
std::vector<Packet> OneSecond() {
  StreamBuilder builder;
  builder.AccessUnit({Nal(0x67, 12), Nal(0x68, 4)});  // SPS, PPS
  builder.AccessUnit({Nal(0x65, kIdrSize)});
  const std::size_t large = (kBytesPerSecond - kIdrSize - kSmallPictures * kSmallPictureSize) /
                            (kFramesPerSecond - 1 - kSmallPictures);
  for (int i = 1; i < kFramesPerSecond; ++i) {
    builder.AccessUnit({Nal(0x41, i % 6 == 0 ? kSmallPictureSize : large)});
  }
  return builder.Take();
}

// One access unit out of the depacketiser: whether it is a whole frame.
bool TakeAccessUnit(CH264Depacketizer& depacketizer, const std::uint8_t* payload, std::size_t length, bool marker,
                    bool gap) {
  const H264AccessUnit unit = depacketizer.OnPayload(payload, length, marker, gap);
  benchmark::DoNotOptimize(unit.body.data());
  return unit.event == H264Event::kFrame && !unit.broken;
}

void BM_Depacketize(benchmark::State& state) {
  CH264Depacketizer depacketizer;
  RunDepacketize(state, OneSecond(), kFramesPerSecond,
                 [&](auto... args) { return TakeAccessUnit(depacketizer, args...); });
}
BENCHMARK(BM_Depacketize);

void BM_ReceivePath(benchmark::State& state) {
  CH264Depacketizer depacketizer;
  RunReceivePath(state, OneSecond(), kFramesPerSecond,
                 [&](auto... args) { return TakeAccessUnit(depacketizer, args...); });
}
BENCHMARK(BM_ReceivePath);

void BM_ParseRtpPacket(benchmark::State& state) {
  const std::vector<Packet> packets = OneSecond();
  std::size_t bytes = 0;
  for (const Packet& packet : packets) bytes += packet.datagram.size();
  for (auto _ : state) {
    for (const Packet& packet : packets) {
      RtpPacket rtp;
      benchmark::DoNotOptimize(ParseRtpPacket(packet.datagram.data(), packet.datagram.size(), rtp));
      benchmark::DoNotOptimize(rtp.payload);
    }
  }
  SetRates(state, packets.size(), bytes);
}
BENCHMARK(BM_ParseRtpPacket);

}  // namespace
}  // namespace kalmora
