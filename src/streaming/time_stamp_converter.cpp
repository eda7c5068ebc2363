#include "streaming/time_stamp_converter.h"

#include <cmath>
#include <limits>
#include <utility>

namespace kalmora {
namespace {

// 100-ns units per tick of a 90 kHz RTP clock (111.1), truncated.
constexpr std::uint64_t kUnitsPerNominalTick = 111;
// An increment worth more than about one second at the nominal 90 kHz (more than 90090 ticks)
// is a discontinuity in the stream, not a frame duration.
constexpr std::uint64_t kLargestStep = 9'999'999;
// No frame is stamped further than this ahead of the system clock (one second).
constexpr std::uint64_t kLargestLead = 10'000'000;
// Increments at the nominal rate before the learned ratio takes over.
constexpr std::size_t kWarmUpSamples = 100;
// The lead is worked off only above 1 ms, and only from frames longer than 4 ms.
constexpr std::uint64_t kLeadTolerance = 10'000;
constexpr std::uint64_t kShortestCorrectedStep = 40'000;
constexpr std::uint64_t kSmallestCorrection = 10'000;
// Further ahead than 250 ms the lead is measured anew at every frame.
constexpr std::uint64_t kLeadRemeasureLimit = 2'500'000;
// A frame that repeats the previous RTP time stamp is stamped 1 ms later.
constexpr std::uint64_t kRepeatStep = 10'000;

// Keeps the time line from wrapping to a small value, which would look like a lag and re-anchor.
std::uint64_t AddSaturated(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return b > kMax - a ? kMax : a + b;
}

// Nearest integer, halves up; clamped so that no double outside the 64-bit range is converted.
std::uint64_t RoundToUnits(double value) {
  const double rounded = std::floor(value + 0.5);
  if (!(rounded > 0.0)) return 0;
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (rounded >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(rounded);
}

}  // namespace

CTimeStampConverter::CTimeStampConverter(ClockFn clock)
    : clock_(clock ? std::move(clock) : ClockFn(Now)) {}

void CTimeStampConverter::Reset() {
  output_time_ = 0;
  last_rtp_time_stamp_ = 0;
  lead_ = 0;
  tick_statistics_.Clear();
  wall_statistics_.Clear();
  last_wall_time_ = 0;
}

void CTimeStampConverter::Reanchor(std::uint64_t now, std::uint32_t rtp_time_stamp) {
  output_time_ = now;
  lead_ = 0;
  last_wall_time_ = now;
  last_rtp_time_stamp_ = rtp_time_stamp;
}

void CTimeStampConverter::AddTimeStamp(std::uint32_t rtp_time_stamp) {
  const std::uint64_t now = clock_();
  if (now == 0 || output_time_ == 0 || last_rtp_time_stamp_ == 0) {
    Reanchor(now, rtp_time_stamp);
    return;
  }

  bool settle = false;
  // Plain unsigned comparison: a time stamp that wrapped past 2^32 is stamped like a repeat (1 ms
  // on); only the frame at the wrap is affected, the increments after it are ordinary again.
  if (rtp_time_stamp > last_rtp_time_stamp_) {
    const std::uint64_t ticks = rtp_time_stamp - last_rtp_time_stamp_;
    // A jump re-anchors at once and stays out of the statistics, which would otherwise learn a
    // tick mean that stamps the frames after it far ahead and bunched together.
    if (ticks * kUnitsPerNominalTick > kLargestStep) {
      Reanchor(now, rtp_time_stamp);
      return;
    }
    tick_statistics_.Add(static_cast<std::uint32_t>(ticks));
    if (now >= last_wall_time_) {
      // Low 32 bits: gaps above about 7 minutes wrap, as the samples are 32-bit.
      wall_statistics_.Add(static_cast<std::uint32_t>(now - last_wall_time_));
    }

    if (tick_statistics_.Count() <= kWarmUpSamples) {
      const std::uint64_t step = ticks * kUnitsPerNominalTick;
      output_time_ = AddSaturated(output_time_, step);
      // The lead is measured once at the end of the warm-up, whatever its size.
      settle = tick_statistics_.Count() == kWarmUpSamples;
    } else {
      // Every tick sample is at least 1, so the tick mean is never 0.
      std::uint64_t step = RoundToUnits(wall_statistics_.Mean() * static_cast<double>(ticks) /
                                        tick_statistics_.Mean());
      if (lead_ > kLeadTolerance && step > kShortestCorrectedStep) {
        std::uint64_t correction = step / 10;
        if (correction < kSmallestCorrection) correction = kSmallestCorrection;
        if (correction > lead_) correction = lead_;
        lead_ -= correction;
        step -= correction;  // no underflow: correction <= max(step / 10, 10000) < step
      }
      output_time_ = AddSaturated(output_time_, step);
    }
  } else {
    const std::uint64_t repeated = AddSaturated(output_time_, kRepeatStep);
    output_time_ = repeated > now ? repeated : now;
    settle = true;
  }

  if (output_time_ > now && output_time_ - now <= kLargestLead) {
    if (settle || output_time_ - now > kLeadRemeasureLimit) lead_ = output_time_ - now;
    last_wall_time_ = now;
    last_rtp_time_stamp_ = rtp_time_stamp;
  } else {
    Reanchor(now, rtp_time_stamp);
  }
}

void CTimeStampConverter::GetFrameTime(ipcapture::SystemTime& out) const {
  if (output_time_ != 0 && last_rtp_time_stamp_ != 0 && ToCalendar(output_time_, out)) return;
  if (!ToCalendar(clock_(), out)) out = ipcapture::SystemTime{};
}

}  // namespace kalmora
