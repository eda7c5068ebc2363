#include "record_command.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "driver_session.h"
#include "host/types.h"
#include "reachability.h"
#include "stop_wait.h"
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

// How often the wait loop looks at the stop flag and the driver's log while a progress line is
// rewritten on a terminal; otherwise the loop wakes for the once-a-second line (and at once for
// a stop when there is a stop descriptor).
constexpr auto kPollInterval = 100ms;
constexpr auto kQuietPollInterval = 1s;

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

// One channel of one camera and what it records into. The consumer outlives the driver
// session that calls it.
struct ChannelRecording {
  std::size_t camera = 0;  // index into the cameras
  std::uint32_t channel = 0;
  std::string out_path;  // as the summary names it
  FilePointer video;
  FilePointer frame_log;
  std::unique_ptr<RecordingConsumer> consumer;
  bool started = false;
  double stop_ms = 0;
};

struct CameraSession {
  std::string address;
  DeviceConfig device;
  std::unique_ptr<DriverSession> session;
  std::unique_ptr<LogPrinter> logs;
  kalmora::ipcapture::IIPVideoCapture* capture = nullptr;
  // Its destructor aborts a check still running and joins it.
  std::unique_ptr<BackgroundReachabilityCheck> reachability = std::make_unique<BackgroundReachabilityCheck>();
};

std::uint64_t FramesOfCamera(const std::vector<ChannelRecording>& recordings, std::size_t camera) {
  std::uint64_t frames = 0;
  for (const auto& recording : recordings) {
    if (recording.camera == camera) frames += recording.consumer->Counters().frames;
  }
  return frames;
}

// Opens the output of one channel: the video file (or the JPEG folder) and the frame log. False
// after saying why.
bool OpenOutputs(const RecordOptions& options, const std::string& address, bool several, std::FILE* err,
                 ChannelRecording& recording) {
  const auto name = [&](const std::string& path) {
    return several ? ChannelFilePath(path, address, recording.channel) : path;
  };
  std::string jpeg_dir;
  if (!options.jpeg_dir.empty()) {
    jpeg_dir = name(options.jpeg_dir);
    std::error_code error;
    std::filesystem::create_directories(jpeg_dir, error);
    if (error) {
      std::fprintf(err, "tessavirn: cannot create %s: %s\n", jpeg_dir.c_str(), error.message().c_str());
      return false;
    }
    recording.out_path = jpeg_dir + "/";
  } else {
    recording.out_path =
        name(options.out_path.empty() ? DefaultRecordPath(options.device.stream_type) : options.out_path);
    recording.video.reset(std::fopen(recording.out_path.c_str(), "wb"));
    if (!recording.video) {
      std::fprintf(err, "tessavirn: cannot write %s: %s\n", recording.out_path.c_str(), std::strerror(errno));
      return false;
    }
  }
  if (!options.frame_log_path.empty()) {
    const std::string path = name(options.frame_log_path);
    recording.frame_log.reset(std::fopen(path.c_str(), "w"));
    if (!recording.frame_log) {
      std::fprintf(err, "tessavirn: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
      return false;
    }
  }
  recording.consumer = std::make_unique<RecordingConsumer>(recording.video.get(), recording.frame_log.get(), jpeg_dir);
  return true;
}

// The summary of one channel; closes its video file.
RecordSummary Summarize(ChannelRecording& recording, double duration) {
  const RecordingConsumer& consumer = *recording.consumer;
  RecordSummary summary;
  summary.out_path = recording.out_path;
  summary.counters = consumer.Counters();
  summary.file_bytes = consumer.FileBytes();
  summary.duration_s = duration;
  summary.first_frame_key = consumer.FirstFrameKey();
  summary.first_damage = consumer.FirstDamage();
  summary.write_error = consumer.WriteError();
  const auto stamps = consumer.TimeStamps();
  summary.spacing = AnalyzeSpacing(stamps);
  if (recording.video) {
    if (std::fflush(recording.video.get()) != 0 && summary.write_error.empty()) summary.write_error = std::strerror(errno);
    if (std::fclose(recording.video.release()) != 0 && summary.write_error.empty()) {
      summary.write_error = std::strerror(errno);
    }
  }
  return summary;
}

}  // namespace

int RunRecord(const RecordOptions& options, std::FILE* out, std::FILE* err, const std::atomic<bool>& stop,
              int stop_fd) {
  if (!options.jpeg_dir.empty() && options.device.stream_type != kalmora::ipcapture::kStreamMjpeg) {
    std::fprintf(err, "tessavirn: --jpeg-dir needs --stream mjpeg\n");
    return 2;
  }
  const std::vector<std::string> addresses =
      options.addresses.empty() ? std::vector<std::string>{options.device.address} : options.addresses;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (std::find(addresses.begin(), addresses.begin() + static_cast<std::ptrdiff_t>(i), addresses[i]) !=
        addresses.begin() + static_cast<std::ptrdiff_t>(i)) {
      std::fprintf(err, "tessavirn: --address %s is given twice\n", addresses[i].c_str());
      return 2;
    }
  }
  const std::size_t total = addresses.size() * options.channels.size();
  if (total == 0 || total > kMaxRecordedChannels) {
    std::fprintf(err, "tessavirn: a recording takes 1 to %zu channels over all its cameras, not %zu\n",
                 kMaxRecordedChannels, total);
    return 2;
  }
  const bool several = total > 1;

  // Declared before the cameras: the consumers outlive the driver sessions that call them.
  std::vector<ChannelRecording> recordings(total);
  for (std::size_t camera = 0; camera < addresses.size(); ++camera) {
    for (std::size_t i = 0; i < options.channels.size(); ++i) {
      ChannelRecording& recording = recordings[camera * options.channels.size() + i];
      recording.camera = camera;
      recording.channel = options.channels[i];
      if (!OpenOutputs(options, addresses[camera], several, err, recording)) return 2;
    }
  }
  const auto name_of = [&](const ChannelRecording& recording) {
    return addresses[recording.camera] + " channel " + std::to_string(recording.channel);
  };

  const bool terminal = ::isatty(::fileno(out)) != 0;
  RecordConsole console(out, terminal, !options.quiet);
  const auto poll_interval = terminal && !options.quiet ? Clock::duration(kPollInterval) : kQuietPollInterval;
  std::vector<CameraSession> cameras(addresses.size());
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    CameraSession& camera = cameras[i];
    camera.address = addresses[i];
    camera.device = options.device;
    camera.device.address = addresses[i];
    FillDefaultCustomParameters(camera.device);
    camera.session = std::make_unique<DriverSession>(out, err, nullptr);
    // With several cameras each log line says whose it is.
    const std::string prefix = cameras.size() > 1 ? camera.address + ": " : "";
    camera.logs = std::make_unique<LogPrinter>(camera.session->sink(),
                                               [&console, prefix](const std::string& line) { console.Line(prefix + line); });
    const int opened = camera.session->Open(options.driver_path, camera.device);
    camera.logs->PrintNew();
    if (opened != 0) return opened;
    auto* driver = camera.session->driver();
    camera.capture = driver->GetVideoCaptureEx();
    if (camera.capture == nullptr) camera.capture = driver->GetVideoCapture();
    if (camera.capture == nullptr) {
      std::fflush(out);
      std::fprintf(err, "tessavirn: the driver has no video capture object\n");
      return 1;
    }
  }

  ChannelSettings settings(options.width, options.height, options.interval_ms, options.quality);
  const std::string how_long = options.seconds == 0 ? "as long as it runs (Ctrl-C stops)"
                                                    : std::to_string(options.seconds) + " s";
  if (!several) {
    std::fprintf(out, "recording channel %u (%ux%u, %u ms between frames, quality %u) to %s for %s\n",
                 static_cast<unsigned>(recordings[0].channel), static_cast<unsigned>(options.width),
                 static_cast<unsigned>(options.height), static_cast<unsigned>(options.interval_ms),
                 static_cast<unsigned>(options.quality), recordings[0].out_path.c_str(), how_long.c_str());
  } else {
    std::fprintf(out, "recording %zu channels (%ux%u, %u ms between frames, quality %u) for %s:\n", total,
                 static_cast<unsigned>(options.width), static_cast<unsigned>(options.height),
                 static_cast<unsigned>(options.interval_ms), static_cast<unsigned>(options.quality), how_long.c_str());
    for (const auto& recording : recordings) {
      std::fprintf(out, "  %s to %s\n", name_of(recording).c_str(), recording.out_path.c_str());
    }
  }
  std::fflush(out);

  const auto started_at = Clock::now();
  bool any_started = false;
  for (auto& recording : recordings) {
    recording.started = cameras[recording.camera].capture->StartChannel(recording.channel, recording.consumer.get(),
                                                                         &settings);
    any_started = any_started || recording.started;
    if (!recording.started) {
      std::fflush(out);
      if (several) {
        std::fprintf(err, "tessavirn: %s did not start\n", name_of(recording).c_str());
      } else {
        std::fprintf(err, "tessavirn: channel %u did not start\n", static_cast<unsigned>(recording.channel));
      }
    }
  }
  const auto report = [&](CameraSession& camera) {
    const ReachabilityTarget target = TargetOf(camera.device);
    if (const auto finding = camera.reachability->Take()) {
      ReportFinding(console, err, *finding, target.rtsp, target.address);
    }
  };
  if (any_started) {
    const auto end = started_at + std::chrono::seconds(options.seconds);
    auto next_tick = started_at + 1s;
    auto last_tick = started_at;
    RecordCounters last_counters;
    while (!stop.load()) {
      const auto now = Clock::now();
      for (auto& camera : cameras) camera.logs->PrintNew();
      // The last second of a timed recording still gets its progress line.
      if (now >= next_tick) {
        ProgressFigures figures;
        figures.elapsed_s = SecondsBetween(started_at, now);
        figures.channels = total;
        for (const auto& recording : recordings) {
          AddCounters(figures.counters, recording.consumer->Counters());
          const auto state = ChannelState(*cameras[recording.camera].capture, recording.channel);
          if (!several) figures.state = state;
          if (state == kalmora::ipcapture::kChannelStreaming) ++figures.streaming;
        }
        figures.last_second = RatesBetween(last_counters, figures.counters, SecondsBetween(last_tick, now));
        figures.new_no_signal = figures.counters.no_signal_notices > last_counters.no_signal_notices;
        console.Progress(FormatProgress(figures));
        last_counters = figures.counters;
        last_tick = now;
        while (next_tick <= now) next_tick += 1s;
      }
      for (std::size_t i = 0; i < cameras.size(); ++i) {
        CameraSession& camera = cameras[i];
        if (!camera.reachability->started() && now - started_at >= kSilenceBeforeCheck &&
            FramesOfCamera(recordings, i) == 0) {
          camera.reachability->Start(TargetOf(camera.device));
        }
        report(camera);
      }
      if (options.seconds != 0 && now >= end) break;
      auto wake = std::min(next_tick, now + poll_interval);
      if (options.seconds != 0) wake = std::min(wake, end);
      SleepUntil(wake, stop_fd);
    }
  }
  // A channel that failed to start is still in the driver's table until it is stopped.
  const auto stopping_at = Clock::now();
  for (auto& recording : recordings) {
    const auto before = Clock::now();
    cameras[recording.camera].capture->StopChannel(recording.channel);
    recording.stop_ms = SecondsBetween(before, Clock::now()) * 1000.0;
  }
  const auto stopped_at = Clock::now();
  const double duration = SecondsBetween(started_at, stopped_at);
  // A camera that sent nothing gets its reason too, unless the recording was stopped. The checks
  // run side by side under one deadline.
  if (!stop.load()) {
    std::vector<std::size_t> silent;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
      if (FramesOfCamera(recordings, i) == 0) {
        cameras[i].reachability->Start(TargetOf(cameras[i].device));
        silent.push_back(i);
      }
    }
    const auto until = Clock::now() + kCheckWaitAtEnd;
    for (const std::size_t i : silent) {
      while (!stop.load() && Clock::now() < until && !cameras[i].reachability->WaitDone(kPollInterval)) {
      }
      report(cameras[i]);
    }
  }
  for (auto& camera : cameras) camera.reachability->Abort();
  console.Finish();
  for (auto& camera : cameras) {
    camera.session->Close();
    camera.logs->PrintNew();
  }

  std::vector<RecordSummary> summaries;
  for (auto& recording : recordings) summaries.push_back(Summarize(recording, duration));
  if (!several) {
    const RecordSummary& summary = summaries[0];
    std::fputs(FormatSummary(summary).c_str(), out);
    std::fflush(out);
    if (!summary.write_error.empty()) {
      std::fprintf(err, "tessavirn: writing %s failed: %s\n", summary.out_path.c_str(), summary.write_error.c_str());
      return 1;
    }
    if (!recordings[0].started) return 1;
    if (summary.counters.frames == 0) {
      std::fprintf(err, "tessavirn: no frame arrived\n");
      return 1;
    }
    return 0;
  }

  RecordTotal sum;
  sum.channels = total;
  sum.duration_s = duration;
  sum.all_stopped_ms = SecondsBetween(stopping_at, stopped_at) * 1000.0;
  for (std::size_t i = 0; i < recordings.size(); ++i) {
    const RecordSummary& summary = summaries[i];
    std::fputs(FormatSummary(summary, "summary of " + name_of(recordings[i]) + ":").c_str(), out);
    AddCounters(sum.counters, summary.counters);
    sum.file_bytes += summary.file_bytes;
    sum.estimated_dropped += summary.spacing.estimated_dropped;
    if (summary.counters.frames > 0) ++sum.with_frames;
    if (sum.longest_stop_channel.empty() || recordings[i].stop_ms > sum.longest_stop_ms) {
      sum.longest_stop_ms = recordings[i].stop_ms;
      sum.longest_stop_channel = name_of(recordings[i]);
    }
  }
  std::fputs(FormatTotal(sum).c_str(), out);
  std::fflush(out);

  int status = 0;
  for (std::size_t i = 0; i < recordings.size(); ++i) {
    const RecordSummary& summary = summaries[i];
    const std::string name = name_of(recordings[i]);
    if (!summary.write_error.empty()) {
      std::fprintf(err, "tessavirn: %s: writing %s failed: %s\n", name.c_str(), summary.out_path.c_str(),
                   summary.write_error.c_str());
    } else if (!recordings[i].started) {
      std::fprintf(err, "tessavirn: %s: did not start\n", name.c_str());
    } else if (summary.counters.frames == 0) {
      std::fprintf(err, "tessavirn: %s: no frame arrived\n", name.c_str());
    } else {
      continue;
    }
    status = 1;
  }
  if (status != 0) {
    std::fprintf(err, "tessavirn: %zu of %zu channels recorded frames\n", sum.with_frames, total);
  }
  return status;
}

}  // namespace tessavirn_host
