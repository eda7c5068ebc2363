#include "record_report.h"

#include <cinttypes>
#include <cstdarg>

#include "host/types.h"
#include "recording_consumer.h"

namespace tessavirn_host {
namespace {

// printf into a std::string.
__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<std::size_t>(n));
  }
  va_end(again);
  return text;
}

// Clears the terminal line the cursor is on.
constexpr const char* kClearLine = "\r\x1b[K";

}  // namespace

const char* ChannelStateName(std::optional<std::int32_t> state) {
  if (!state) return "unknown";
  switch (*state) {
    case kalmora::ipcapture::kChannelStreaming: return "streaming";
    case kalmora::ipcapture::kChannelConnecting: return "connecting";
    case kalmora::ipcapture::kChannelSignalLost: return "signal lost";
    case kalmora::ipcapture::kChannelStopped: return "stopped";
    default: return "unknown";
  }
}

std::string FormatProgress(const ProgressFigures& f) {
  std::string line = Format("%4.0f s  %" PRIu64 " frames (%" PRIu64 " key)  %5.1f fps  %8.1f kbit/s  ", f.elapsed_s,
                            f.counters.frames, f.counters.key_frames, f.last_second.frames_per_second,
                            f.last_second.kilobits_per_second);
  if (f.channels > 1) {
    line += Format("%zu of %zu channels streaming", f.streaming, f.channels);
  } else {
    line += Format("camera %s", ChannelStateName(f.state));
  }
  if (f.counters.no_signal_notices > 0) {
    line += Format("  no-signal notices %" PRIu64, f.counters.no_signal_notices);
    if (f.new_no_signal) line += " (NO SIGNAL)";
  }
  if (f.counters.damaged > 0) line += Format("  damaged %" PRIu64, f.counters.damaged);
  return line;
}

std::string FormatSummary(const RecordSummary& s, const std::string& heading) {
  const RecordCounters& c = s.counters;
  std::string text = heading + "\n";
  if (c.frames == 0) {
    text += "  frames:             0 (no frames were recorded)\n";
  } else {
    text += Format("  frames:             %" PRIu64 " (%" PRIu64 " key)\n", c.frames, c.key_frames);
    std::string types;
    for (const auto& [type, count] : c.frames_by_type) {
      types += Format("%s%s %" PRIu64, types.empty() ? "" : ", ", FrameTypeText(type).c_str(), count);
    }
    text += "  by type:            " + types + "\n";
  }
  text += Format("  bytes:              %" PRIu64 " in frames\n", c.bytes);
  text += Format("  file:               %s, %" PRIu64 " bytes", s.out_path.c_str(), s.file_bytes);
  text += s.file_bytes < c.bytes ? " (without the closing delimiter of the last frame)\n" : "\n";
  text += Format("  duration:           %.1f s\n", s.duration_s);
  const double seconds = s.duration_s > 0 ? s.duration_s : 1;
  if (c.frames > 0) {
    text += Format("  average:            %.1f fps, %.1f kbit/s\n", static_cast<double>(c.frames) / seconds,
                   static_cast<double>(c.bytes) * 8.0 / 1000.0 / seconds);
    text += Format("  first frame:        %s\n", s.first_frame_key.value_or(false) ? "key" : "not key");
  }
  text += Format("  damaged frames:     %" PRIu64, c.damaged);
  text += s.first_damage.empty() ? "\n" : " (first: " + s.first_damage + ")\n";
  text += Format("  estimated dropped:  %" PRIu64 "\n", s.spacing.estimated_dropped);
  text += Format("  no-signal notices:  %" PRIu64 "\n", c.no_signal_notices);
  if (s.spacing.intervals == 0) {
    text += "  time stamp spacing: none (fewer than two time stamps)\n";
  } else {
    text += Format("  time stamp spacing: min %.0f ms, median %.1f ms, max %.0f ms over %zu intervals\n",
                   s.spacing.min_ms, s.spacing.median_ms, s.spacing.max_ms, s.spacing.intervals);
  }
  if (c.without_time_stamp > 0) {
    text += Format("  without time stamp: %" PRIu64 " frames\n", c.without_time_stamp);
  }
  if (c.refused > 0) text += Format("  refused frames:     %" PRIu64 "\n", c.refused);
  if (!s.write_error.empty()) text += "  write error:        " + s.write_error + "\n";
  return text;
}

std::string FormatTotal(const RecordTotal& t) {
  const RecordCounters& c = t.counters;
  std::string text = "total:\n";
  text += Format("  channels:           %zu, %zu with frames\n", t.channels, t.with_frames);
  text += Format("  frames:             %" PRIu64 " (%" PRIu64 " key)\n", c.frames, c.key_frames);
  text += Format("  bytes:              %" PRIu64 " in frames, %" PRIu64 " in files\n", c.bytes, t.file_bytes);
  text += Format("  duration:           %.1f s\n", t.duration_s);
  const double seconds = t.duration_s > 0 ? t.duration_s : 1;
  text += Format("  average:            %.1f fps, %.1f kbit/s\n", static_cast<double>(c.frames) / seconds,
                 static_cast<double>(c.bytes) * 8.0 / 1000.0 / seconds);
  text += Format("  damaged frames:     %" PRIu64 "\n", c.damaged);
  text += Format("  estimated dropped:  %" PRIu64 "\n", t.estimated_dropped);
  text += Format("  no-signal notices:  %" PRIu64 "\n", c.no_signal_notices);
  if (c.refused > 0) text += Format("  refused frames:     %" PRIu64 "\n", c.refused);
  text += Format("  longest stop:       %.1f ms (%s), all stopped in %.1f ms\n", t.longest_stop_ms,
                 t.longest_stop_channel.c_str(), t.all_stopped_ms);
  return text;
}

void RecordConsole::Line(const std::string& text) {
  if (terminal_ && !progress_.empty()) {
    std::fprintf(out_, "%s%s\n%s", kClearLine, text.c_str(), progress_.c_str());
  } else {
    std::fprintf(out_, "%s\n", text.c_str());
  }
  std::fflush(out_);
}

void RecordConsole::Progress(const std::string& line) {
  if (!show_progress_) return;
  if (terminal_) {
    progress_ = line;
    std::fprintf(out_, "%s%s", kClearLine, line.c_str());
  } else {
    std::fprintf(out_, "%s\n", line.c_str());
  }
  std::fflush(out_);
}

void RecordConsole::Note(std::FILE* err, const std::string& text) {
  const bool redraw = terminal_ && !progress_.empty();
  if (redraw) std::fprintf(out_, "%s", kClearLine);
  std::fflush(out_);
  std::fprintf(err, "%s\n", text.c_str());
  std::fflush(err);
  if (redraw) std::fprintf(out_, "%s", progress_.c_str());
  std::fflush(out_);
}

void RecordConsole::Finish() {
  if (!progress_.empty()) std::fprintf(out_, "\n");
  progress_.clear();
  std::fflush(out_);
}

}  // namespace tessavirn_host
