// What the RTSP side did, for tests and the admin path.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "camsim/rtsp_types.h"

namespace camsim {

// Counters, the request log and the sent-frame records, with waits on them. The log and the
// frame records keep the last kMaxRecords entries. Optionally writes each sent frame to a
// file, flushed line by line. Thread-safe.
class RtspRecorder {
 public:
  static constexpr std::size_t kMaxRecords = 100000;

  RtspRecorder() = default;
  ~RtspRecorder();
  RtspRecorder(const RtspRecorder&) = delete;
  RtspRecorder& operator=(const RtspRecorder&) = delete;

  // Starts writing sent frames to path (empty: stops). False with a reason if it cannot open.
  bool OpenFrameLog(const std::string& path, std::string* error);

  void Count(std::uint64_t RtspCounters::*counter, std::uint64_t amount = 1);
  void AddRequest(RtspRequestRecord record);
  // Also counts the frame (a picture or a parameter-set unit) and its packets.
  void AddFrame(SentFrame frame, const PacketTally& packets);
  void AddReceiverReport(std::string report);

  RtspCounters Counters() const;
  std::vector<RtspRequestRecord> Requests() const;
  std::vector<SentFrame> Frames() const;

  // Waits until condition holds for the counters, or timeout passes; whether it holds.
  bool WaitFor(const std::function<bool(const RtspCounters&)>& condition,
               std::chrono::milliseconds timeout) const;

 private:
  void Changed();

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  RtspCounters counters_;                 // guarded by mutex_
  std::deque<RtspRequestRecord> requests_;  // guarded by mutex_
  std::deque<SentFrame> frames_;          // guarded by mutex_
  std::uint64_t next_request_ = 1;        // guarded by mutex_
  std::uint64_t next_frame_ = 1;          // guarded by mutex_
  std::FILE* frame_log_ = nullptr;        // guarded by mutex_
};

}  // namespace camsim
