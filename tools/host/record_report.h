#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "record_statistics.h"

namespace tessavirn_host {

// "streaming", "connecting", "signal lost", "stopped"; "unknown" for no state or another value.
const char* ChannelStateName(std::optional<std::int32_t> state);

struct ProgressFigures {
  double elapsed_s = 0;
  RecordCounters counters;
  Rates last_second;
  std::optional<std::int32_t> state;  // empty when the driver gave none
  bool new_no_signal = false;         // a no-signal notice arrived in the last second
  // A recording of several channels shows how many of them stream instead of the state, the
  // counters and rates being their sums.
  std::size_t channels = 1;
  std::size_t streaming = 0;
};

// The once-a-second progress line, without a line end.
std::string FormatProgress(const ProgressFigures& figures);

struct RecordSummary {
  std::string out_path;
  RecordCounters counters;
  std::uint64_t file_bytes = 0;  // less than counters.bytes by a held-back closing delimiter
  double duration_s = 0;
  std::optional<bool> first_frame_key;  // empty: no frame
  std::string first_damage;             // empty: none damaged
  std::string write_error;              // empty: none
  SpacingStats spacing;
};

// The lines printed when a recording ends, each ending with a line end, under heading (a
// recording of several channels has one such block per channel).
std::string FormatSummary(const RecordSummary& summary, const std::string& heading = "summary:");

// The closing block of a recording of several channels.
struct RecordTotal {
  std::size_t channels = 0;
  std::size_t with_frames = 0;
  RecordCounters counters;  // the channels' sums
  std::uint64_t file_bytes = 0;
  double duration_s = 0;
  std::uint64_t estimated_dropped = 0;
  double longest_stop_ms = 0;        // the slowest StopChannel
  std::string longest_stop_channel;  // which channel that was, as "ADDRESS channel N"
  double all_stopped_ms = 0;         // from the first stop to the end of the last
};

std::string FormatTotal(const RecordTotal& total);

// The recording's output: log lines, and the progress line kept last. On a terminal the
// progress line is rewritten in place, and log lines are printed above it; otherwise each
// progress line is a line of its own. Used from one thread.
class RecordConsole {
 public:
  RecordConsole(std::FILE* out, bool terminal, bool show_progress)
      : out_(out), terminal_(terminal), show_progress_(show_progress) {}

  void Line(const std::string& text);
  void Progress(const std::string& line);
  // A line on err, with the progress line on a terminal cleared first and drawn again after it.
  void Note(std::FILE* err, const std::string& text);
  // Ends a rewritten progress line so that what follows starts on a line of its own.
  void Finish();

 private:
  std::FILE* out_;
  bool terminal_;
  bool show_progress_;
  std::string progress_;  // the progress line on screen (terminal only)
};

}  // namespace tessavirn_host
