// What the depacketiser benchmarks share: the RTP datagrams they feed and how they report rates.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

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

}  // namespace kalmora::bench
