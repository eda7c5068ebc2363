#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>

#include "host/types.h"

namespace tessavirn_host {

// Milliseconds since the epoch of a UTC calendar time; empty when a field is out of range
// (a frame whose time stamp the driver never set has year 0).
std::optional<std::int64_t> SystemTimeToEpochMs(const kalmora::ipcapture::SystemTime& utc);

// The spacing of frame time stamps, taken in arrival order, and the frames it suggests were
// lost: a gap of more than 1.5 times the median spacing stands for round(gap / median) - 1
// missing frames.
struct SpacingStats {
  std::size_t intervals = 0;  // time stamps - 1; the figures below are 0 when this is 0
  double min_ms = 0;
  double median_ms = 0;
  double max_ms = 0;
  std::uint64_t estimated_dropped = 0;
};

SpacingStats AnalyzeSpacing(std::span<const std::int64_t> timestamps_ms);

// What a recording has counted so far.
struct RecordCounters {
  std::uint64_t frames = 0;
  std::uint64_t key_frames = 0;
  std::uint64_t bytes = 0;
  std::uint64_t damaged = 0;             // failed the H.264 structure check
  std::uint64_t refused = 0;             // null, oversized or unwritable frames
  std::uint64_t without_time_stamp = 0;  // frames whose time stamp was not a valid time
  std::uint64_t no_signal_notices = 0;
  std::map<std::uint32_t, std::uint64_t> frames_by_type;  // taken frames per type code
};

// Adds more's counts to total's, type by type: the figures of a recording of several channels.
void AddCounters(RecordCounters& total, const RecordCounters& more);

struct Rates {
  double frames_per_second = 0;
  double kilobits_per_second = 0;
};

// The frame rate and bitrate between two readings of the counters taken seconds apart;
// zero when seconds is not positive.
Rates RatesBetween(const RecordCounters& before, const RecordCounters& after, double seconds);

}  // namespace tessavirn_host
