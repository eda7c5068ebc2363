#include "record_command.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "driver_session.h"
#include "host/types.h"
#include "reachability.h"
#include "record_report.h"
#include "recording_consumer.h"

namespace tessavirn_host {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

// How often the wait loop looks at the stop flag and the driver's log.
constexpr auto kPollInterval = 100ms;

std::optional<std::int32_t> ChannelState(kalmora::ipcapture::IIPVideoCapture& capture, std::uint32_t channel) {
  std::int32_t state = 0;
  std::int32_t second = 0;
  std::uint8_t flag = 0;
  if (!capture.GetChannelStatus(channel, &state, &second, &flag, 0)) return std::nullopt;
  return state;
}

// Without a frame by then, the host looks at the camera itself to say why.
constexpr auto kSilenceBeforeCheck = 4s;
// The check ends itself within 3 s; this bounds the wait for it when the recording is over.
constexpr auto kCheckWaitAtEnd = 3500ms;

ReachabilityTarget TargetOf(const DeviceConfig& device) {
  // Motion-JPEG comes over HTTP instead of RTSP when custom parameter 6 is 1.
  const auto http_mjpeg = device.custom_parameters.find(6);
  const bool rtsp = device.stream_type != kalmora::ipcapture::kStreamMjpeg ||
                    http_mjpeg == device.custom_parameters.end() || http_mjpeg->second != "1";
  return {device.address, device.port, device.user, device.password, rtsp};
}

void ReportFinding(RecordConsole& console, std::FILE* err, const ReachabilityFinding& finding, bool rtsp,
                   const std::string& address) {
  if (finding.kind == ReachabilityFinding::kAborted) return;
  if (finding.kind == ReachabilityFinding::kAnswers) {
    console.Note(err, "tessavirn: " + address + ": the camera answers but sends no media" +
                          (rtsp ? " (UDP 3556-4555 blocked on this side?)" : ""));
  } else {
    console.Note(err, "tessavirn: " + finding.line);
  }
}

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

}  // namespace

int RunRecord(const RecordOptions& options, std::FILE* out, std::FILE* err, const std::atomic<bool>& stop) {
  const bool jpeg_files = !options.jpeg_dir.empty();
  if (jpeg_files && options.device.stream_type != kalmora::ipcapture::kStreamMjpeg) {
    std::fprintf(err, "tessavirn: --jpeg-dir needs --stream mjpeg\n");
    return 2;
  }
  const std::string out_path = jpeg_files                 ? options.jpeg_dir + "/"
                               : options.out_path.empty() ? DefaultRecordPath(options.device.stream_type)
                                                          : options.out_path;
  FilePointer video;
  if (jpeg_files) {
    std::error_code error;
    std::filesystem::create_directories(options.jpeg_dir, error);
    if (error) {
      std::fprintf(err, "tessavirn: cannot create %s: %s\n", options.jpeg_dir.c_str(), error.message().c_str());
      return 2;
    }
  } else {
    video.reset(std::fopen(out_path.c_str(), "wb"));
    if (!video) {
      std::fprintf(err, "tessavirn: cannot write %s: %s\n", out_path.c_str(), std::strerror(errno));
      return 2;
    }
  }
  FilePointer frame_log;
  if (!options.frame_log_path.empty()) {
    frame_log.reset(std::fopen(options.frame_log_path.c_str(), "w"));
    if (!frame_log) {
      std::fprintf(err, "tessavirn: cannot write %s: %s\n", options.frame_log_path.c_str(), std::strerror(errno));
      return 2;
    }
  }

  DeviceConfig device = options.device;
  FillDefaultCustomParameters(device);

  // The consumer outlives the session: the driver is closed before the consumer goes away.
  RecordingConsumer consumer(video.get(), frame_log.get(), options.jpeg_dir);
  RecordConsole console(out, ::isatty(::fileno(out)) != 0, !options.quiet);
  DriverSession session(out, err, nullptr);
  LogPrinter logs(session.sink(), [&console](const std::string& line) { console.Line(line); });

  const int opened = session.Open(options.driver_path, device);
  logs.PrintNew();
  if (opened != 0) return opened;

  auto* driver = session.driver();
  kalmora::ipcapture::IIPVideoCapture* capture = driver->GetVideoCaptureEx();
  if (capture == nullptr) capture = driver->GetVideoCapture();
  if (capture == nullptr) {
    std::fflush(out);
    std::fprintf(err, "tessavirn: the driver has no video capture object\n");
    return 1;
  }

  ChannelSettings settings(options.width, options.height, options.interval_ms, options.quality);
  std::fprintf(out, "recording channel %u (%ux%u, %u ms between frames, quality %u) to %s for %s\n",
               static_cast<unsigned>(options.channel), static_cast<unsigned>(options.width),
               static_cast<unsigned>(options.height), static_cast<unsigned>(options.interval_ms),
               static_cast<unsigned>(options.quality), out_path.c_str(),
               options.seconds == 0 ? "as long as it runs (Ctrl-C stops)"
                                    : (std::to_string(options.seconds) + " s").c_str());
  std::fflush(out);

  const ReachabilityTarget target = TargetOf(device);
  // Declared before the loop: its destructor aborts a check still running and joins it.
  BackgroundReachabilityCheck reachability;
  const auto started_at = Clock::now();
  const bool started = capture->StartChannel(options.channel, &consumer, &settings);
  if (!started) {
    std::fflush(out);
    std::fprintf(err, "tessavirn: channel %u did not start\n", static_cast<unsigned>(options.channel));
  } else {
    const auto end = started_at + std::chrono::seconds(options.seconds);
    auto next_tick = started_at + 1s;
    auto last_tick = started_at;
    RecordCounters last_counters;
    while (!stop.load()) {
      const auto now = Clock::now();
      logs.PrintNew();
      // The last second of a timed recording still gets its progress line.
      if (now >= next_tick) {
        ProgressFigures figures;
        figures.elapsed_s = SecondsBetween(started_at, now);
        figures.counters = consumer.Counters();
        figures.last_second = RatesBetween(last_counters, figures.counters, SecondsBetween(last_tick, now));
        figures.state = ChannelState(*capture, options.channel);
        figures.new_no_signal = figures.counters.no_signal_notices > last_counters.no_signal_notices;
        console.Progress(FormatProgress(figures));
        last_counters = figures.counters;
        last_tick = now;
        while (next_tick <= now) next_tick += 1s;
      }
      if (!reachability.started() && now - started_at >= kSilenceBeforeCheck && consumer.Counters().frames == 0) {
        reachability.Start(target);
      }
      if (const auto finding = reachability.Take()) ReportFinding(console, err, *finding, target.rtsp, target.address);
      if (options.seconds != 0 && now >= end) break;
      auto wake = std::min(next_tick, now + kPollInterval);
      if (options.seconds != 0) wake = std::min(wake, end);
      std::this_thread::sleep_until(wake);
    }
  }
  // A channel that failed to start is still in the driver's table until it is stopped.
  capture->StopChannel(options.channel);
  const double duration = SecondsBetween(started_at, Clock::now());
  // A recording that ended without a frame gets its reason too, unless it was stopped.
  if (!stop.load() && consumer.Counters().frames == 0) {
    reachability.Start(target);
    const auto until = Clock::now() + kCheckWaitAtEnd;
    while (!stop.load() && Clock::now() < until && !reachability.WaitDone(kPollInterval)) {
    }
    if (const auto finding = reachability.Take()) ReportFinding(console, err, *finding, target.rtsp, target.address);
  }
  reachability.Abort();
  console.Finish();
  session.Close();
  logs.PrintNew();

  RecordSummary summary;
  summary.out_path = out_path;
  summary.counters = consumer.Counters();
  summary.file_bytes = consumer.FileBytes();
  summary.duration_s = duration;
  summary.first_frame_key = consumer.FirstFrameKey();
  summary.first_damage = consumer.FirstDamage();
  summary.write_error = consumer.WriteError();
  const auto stamps = consumer.TimeStamps();
  summary.spacing = AnalyzeSpacing(stamps);
  if (video) {
    if (std::fflush(video.get()) != 0 && summary.write_error.empty()) summary.write_error = std::strerror(errno);
    if (std::fclose(video.release()) != 0 && summary.write_error.empty()) summary.write_error = std::strerror(errno);
  }
  std::fputs(FormatSummary(summary).c_str(), out);
  std::fflush(out);

  if (!summary.write_error.empty()) {
    std::fprintf(err, "tessavirn: writing %s failed: %s\n", out_path.c_str(), summary.write_error.c_str());
    return 1;
  }
  if (!started) return 1;
  if (summary.counters.frames == 0) {
    std::fprintf(err, "tessavirn: no frame arrived\n");
    return 1;
  }
  return 0;
}

}  // namespace tessavirn_host
