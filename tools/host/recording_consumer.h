#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/frame.h"
#include "record_statistics.h"

namespace tessavirn_host {

// Whether a frame of this type code is a key frame: "H264", "JPEG" and "DIVX" are; "I264",
// "DIVI" and anything else are not.
bool IsKeyFrameType(std::uint32_t type_code);
// Whether the type code is one of the two H.264 codes.
bool IsH264FrameType(std::uint32_t type_code);
// The four characters a type code spells in memory, or its value in hex when they are not
// printable.
std::string FrameTypeText(std::uint32_t type_code);

// The frame callback of a recording: writes every frame it is given to the output file in
// arrival order, counts it, checks H.264 frames' structure, keeps its time stamp for the
// spacing figures, and writes a line per frame to the frame log when there is one.
//
// The file holds the frames byte for byte, except that the access unit delimiter ending the
// last H.264 frame is left out: it would begin an access unit that never comes, which
// decoders report as an error. (Each frame's delimiter is written when the next one arrives.)
//
// Threads: CaptureFrameCallback and NotifyNoSignal run on driver threads, possibly several at
// once; the readers run on any thread. One mutex guards the files and the figures (the no-signal
// count is an atomic of its own); the callback holds it only for the write of one frame.
// Nothing is thrown out of the callbacks.
class RecordingConsumer final : public kalmora::ipcapture::ICaptureFrameCallback {
 public:
  // Frame log line: "index callback_time_ns length type key timestamp_ms width height",
  // timestamp_ms "-" for a frame without a valid time stamp; width and height as the frame says.
  static constexpr const char* kFrameLogFields = "index callback_time_ns length type key timestamp_ms width height";

  // out receives the frames, frame_log (may be null) the frame lines. Neither is owned; both
  // must stay open while frames can arrive. With a jpeg_dir, each "JPEG" frame goes to a file of
  // its own there instead, "000001.jpg", "000002.jpg", ... in arrival order.
  RecordingConsumer(std::FILE* out, std::FILE* frame_log, std::string jpeg_dir = {});

  // False (the frame is not taken) for a null frame, a length beyond its capacity, or a
  // failed write.
  bool CaptureFrameCallback(kalmora::ipcapture::ICaptureFrame* frame) override;
  void Reserved3() override {}
  void NotifyNoSignal() override;

  RecordCounters Counters() const;
  // What is in the output file so far: Counters().bytes, less a delimiter held back.
  std::uint64_t FileBytes() const;
  // The valid time stamps of the taken frames in arrival order, in ms since the epoch.
  std::vector<std::int64_t> TimeStamps() const;
  // Whether the first taken frame was a key frame; empty before the first frame.
  std::optional<bool> FirstFrameKey() const;
  // The first damaged frame: its index and what is wrong with it; empty when there is none.
  std::string FirstDamage() const;
  // The first write error; empty when there is none.
  std::string WriteError() const;

 private:
  // Writes one JPEG picture to the next numbered file of jpeg_dir_; false after setting
  // write_error_. Called with mutex_ held.
  bool WriteJpegFile(std::span<const std::uint8_t> picture);

  std::FILE* out_;
  std::FILE* frame_log_;
  std::string jpeg_dir_;
  std::uint64_t jpeg_files_ = 0;
  mutable std::mutex mutex_;
  RecordCounters counters_;
  std::uint64_t file_bytes_ = 0;
  bool delimiter_held_ = false;  // the last frame's delimiter is not written yet
  std::vector<std::int64_t> time_stamps_;
  std::optional<bool> first_frame_key_;
  std::string first_damage_;
  std::string write_error_;
  std::atomic<std::uint64_t> no_signal_notices_{0};
};

}  // namespace tessavirn_host
