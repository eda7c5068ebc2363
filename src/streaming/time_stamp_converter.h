// Wall-clock time stamps for the frames of an RTP stream.
#pragma once

#include <cstdint>

#include "host/types.h"
#include "platform/clock.h"
#include "streaming/statistics_helper.h"

namespace kalmora {

// Turns the RTP time stamps of successive frames into a smooth wall-clock time line. The line
// starts at the current time and advances by the RTP differences: at the nominal 90 kHz for the
// first 100 increments, then by the wall/tick ratio learned from the stream. When it runs ahead of
// the system clock the lead is worked off a tenth of a frame at a time; it never lags the system
// clock, because a frame that would be stamped in the past re-anchors the line at the current time.
// An RTP increment of more than about one second is a discontinuity: it re-anchors the line at
// once and is left out of the statistics. No frame is stamped more than one second ahead of the
// system clock: one that would be re-anchors the line at the current time.
//
// Threads: belongs to one RTSP channel and is used only on that channel's UDP receive thread;
// Reset is called from the channel thread while no receiver exists. No locking.
class CTimeStampConverter {
 public:
  explicit CTimeStampConverter(ClockFn clock = Now);
  virtual ~CTimeStampConverter() = default;
  CTimeStampConverter(const CTimeStampConverter&) = delete;
  CTimeStampConverter& operator=(const CTimeStampConverter&) = delete;

  // Back to not anchored with empty statistics; the next frame starts a new warm-up.
  void Reset();

  // Once per completed frame, with the RTP time stamp of its marker packet, before delivery.
  void AddTimeStamp(std::uint32_t rtp_time_stamp);

  // The calendar time (UTC) of the last frame, or the current time while not anchored. Always
  // writes out; all fields are 0 only if not even the current time has a calendar time.
  void GetFrameTime(ipcapture::SystemTime& out) const;

  // Time given to the last frame (100-ns units since 1601); 0 = not anchored.
  std::uint64_t OutputTime() const { return output_time_; }
  // How far the time line was ahead of the system clock when last measured, less what has been
  // worked off since.
  std::uint64_t Lead() const { return lead_; }
  std::uint32_t LastRtpTimeStamp() const { return last_rtp_time_stamp_; }
  std::uint64_t LastWallTime() const { return last_wall_time_; }
  const TStatisticsHelper<std::uint32_t>& TickStatistics() const { return tick_statistics_; }
  const TStatisticsHelper<std::uint32_t>& WallStatistics() const { return wall_statistics_; }

 private:
  void Reanchor(std::uint64_t now, std::uint32_t rtp_time_stamp);

  ClockFn clock_;
  std::uint64_t output_time_ = 0;
  std::uint32_t last_rtp_time_stamp_ = 0;  // 0 = none
  std::uint64_t lead_ = 0;
  TStatisticsHelper<std::uint32_t> tick_statistics_;  // RTP increments between frames
  TStatisticsHelper<std::uint32_t> wall_statistics_;  // system clock increments, low 32 bits
  std::uint64_t last_wall_time_ = 0;                  // system time at the last frame
};

}  // namespace kalmora
