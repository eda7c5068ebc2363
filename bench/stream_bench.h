// What the depacketiser benchmarks share: the RTP datagrams they feed and how they report rates.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "streaming/rtp_packet.h"

namespace kalmora::bench {

inline void PushBig(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

struct Packet {
  std::vector<std::uint8_t> datagram;  // RTP header and payload
  bool marker = false;
};

// Packets and bytes per second, and for one second of 8 Mbit/s video per iteration: seconds of
// video per second of one core, and the time per packet.
inline void SetRates(benchmark::State& state, std::size_t packets, std::size_t bytes) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * packets));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["video_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  // Seconds per packet (printed as 25n for 25 ns).
  state.counters["per_packet"] =
      benchmark::Counter(static_cast<double>(state.iterations() * packets),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The depacketiser alone: every datagram's payload (past its 12-byte RTP header) into
// depacketize(payload, length, marker, gap), which returns whether a frame came out; the run fails
// unless `frames` came out in each iteration.
template <class Depacketize>
void RunDepacketize(benchmark::State& state, const std::vector<Packet>& packets, int frames, Depacketize depacketize) {
  std::size_t bytes = 0;
  for (const Packet& packet : packets) bytes += packet.datagram.size() - 12;
  for (auto _ : state) {
    int out = 0;
    for (const Packet& packet : packets) {
      out += depacketize(packet.datagram.data() + 12, packet.datagram.size() - 12, packet.marker, false) ? 1 : 0;
    }
    if (out != frames) state.SkipWithError("wrong number of frames");
  }
  SetRates(state, packets.size(), bytes);
  state.counters["packets"] = static_cast<double>(packets.size());
}

// The whole receive path of a datagram: RTP header parsing, the sequence check (the stream starts
// again each iteration), then depacketize as above.
template <class Depacketize>
void RunReceivePath(benchmark::State& state, const std::vector<Packet>& packets, int frames, Depacketize depacketize) {
  std::size_t bytes = 0;
  for (const Packet& packet : packets) bytes += packet.datagram.size();
  CRtpSequenceCheck sequence_check;
  for (auto _ : state) {
    sequence_check.Reset();
    int out = 0;
    for (const Packet& packet : packets) {
      RtpPacket rtp;
      if (!ParseRtpPacket(packet.datagram.data(), packet.datagram.size(), rtp)) continue;
      const RtpSequenceResult sequence = sequence_check.Check(rtp.ssrc, rtp.sequence_number);
      if (sequence == RtpSequenceResult::kStale) continue;
      out += depacketize(rtp.payload, rtp.payload_length, rtp.marker, sequence == RtpSequenceResult::kGap) ? 1 : 0;
    }
    if (out != frames) state.SkipWithError("wrong number of frames");
  }
  SetRates(state, packets.size(), bytes);
}

}  // namespace kalmora::bench
