// The simulator's RTSP side: settings, start, counters, media faults and restarts.
#include <charconv>

#include "camsim/h264_clip.h"
#include "camsim/jpeg_clip.h"
#include "camsim/mpeg4_clip.h"
#include "camsim/rtsp_recorder.h"
#include "camsim/rtsp_server.h"
#include "camsim/simulator.h"

namespace camsim {
namespace {

constexpr std::string_view kInputCountKey = "VideoInput.Capabilities.EntityCount";
constexpr int kStatusOk = 200;
constexpr int kStatusBadRequest = 400;

unsigned ParseCount(const std::string& text) {
  unsigned value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() ? value : 0;
}

}  // namespace

bool Simulator::StartRtsp(std::string* error) {
  RtspSettings settings;
  unsigned inputs = 1;
  {
    std::lock_guard lock(mutex_);
    settings = rtsp_settings_;
    if (const Parameter* count = tree_.Lookup(kInputCountKey)) {
      inputs = std::max(1u, ParseCount(count->value));
    }
    down_until_ = {};
  }
  if (!settings.enabled) return true;
  auto h264 = std::make_shared<H264Clip>();
  const std::string path = settings.clip_path.empty() ? CAMSIM_DEFAULT_CLIP : settings.clip_path;
  if (!h264->LoadFile(path, error)) return false;
  auto jpeg = std::make_shared<JpegClip>();
  if (!jpeg->Encode(settings.mjpeg, error)) return false;
  auto mpeg4 = std::make_shared<Mpeg4Clip>();
  const std::string mpeg4_path =
      settings.mpeg4_clip_path.empty() ? CAMSIM_MPEG4_CLIP : settings.mpeg4_clip_path;
  if (!mpeg4->LoadFile(mpeg4_path, error)) return false;
  MediaSources sources;
  sources.h264 = std::make_shared<H264Packetizer>(std::move(h264), settings.max_payload,
                                                  settings.stap_a_parameter_sets);
  sources.mjpeg = std::make_shared<JpegPacketizer>(std::move(jpeg), settings.max_payload);
  sources.mpeg4 = std::make_shared<Mpeg4Packetizer>(std::move(mpeg4), settings.max_payload,
                                                    settings.mpeg4_header_own_packet);
  if (!rtsp_recorder_->OpenFrameLog(settings.frame_log_path, error)) return false;
  return rtsp_->Start(address_, settings, std::move(sources), inputs, error);
}

bool Simulator::DownLocked() const { return std::chrono::steady_clock::now() < down_until_; }

void Simulator::SetRtspSettings(const RtspSettings& settings) {
  std::lock_guard lock(mutex_);
  rtsp_settings_ = settings;
}

RtspSettings Simulator::rtsp_settings() const {
  std::lock_guard lock(mutex_);
  return rtsp_settings_;
}

std::uint16_t Simulator::rtsp_port() const { return rtsp_->running() ? rtsp_->port() : 0; }

std::string Simulator::rtsp_url(unsigned input, std::string_view stream) const {
  return "rtsp://" + address_ + ":" + std::to_string(rtsp_port()) + "/VideoInput/" +
         std::to_string(input) + "/" + std::string(stream) + "/1";
}

std::string Simulator::MjpegFrame(std::size_t clip_unit) const {
  if (rtsp_->running() && rtsp_->sources().mjpeg) {
    const std::vector<JpegClipFrame>& frames = rtsp_->sources().mjpeg->clip().frames();
    return clip_unit < frames.size() ? frames[clip_unit].jpeg : std::string();
  }
  return JpegClip::EncodeFrame(rtsp_settings().mjpeg, clip_unit);
}

RtspCounters Simulator::RtspStats() const { return rtsp_recorder_->Counters(); }
std::vector<RtspRequestRecord> Simulator::RtspLog() const { return rtsp_recorder_->Requests(); }
std::vector<SentFrame> Simulator::SentFrames() const { return rtsp_recorder_->Frames(); }
std::vector<std::string> Simulator::RtspSessions() const { return rtsp_->SessionIds(); }

void Simulator::AddMediaFault(const MediaFault& fault) {
  if (fault.kind == MediaFaultKind::kRestart) {
    Restart(std::chrono::milliseconds(fault.ms));
    return;
  }
  media_faults_->Add(fault);
}

void Simulator::ClearMediaFaults() { media_faults_->Clear(); }
std::vector<MediaFault> Simulator::MediaFaults() const { return media_faults_->List(); }

void Simulator::Restart(std::chrono::milliseconds down) {
  {
    std::lock_guard lock(mutex_);
    down_until_ = std::max(down_until_, std::chrono::steady_clock::now() + down);
  }
  if (rtsp_->running()) rtsp_->Restart(down);
}

bool Simulator::WaitForRtspRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  return WaitForRtsp([count](const RtspCounters& c) { return c.requests >= count; }, timeout);
}

bool Simulator::WaitForSentFrames(std::size_t count, std::chrono::milliseconds timeout) const {
  return WaitForRtsp(
      [count](const RtspCounters& c) { return c.frames_sent + c.parameter_units_sent >= count; },
      timeout);
}

bool Simulator::WaitForRtspSessions(std::size_t created, std::chrono::milliseconds timeout) const {
  return WaitForRtsp([created](const RtspCounters& c) { return c.sessions_created >= created; },
                     timeout);
}

bool Simulator::WaitForRtsp(const std::function<bool(const RtspCounters&)>& condition,
                            std::chrono::milliseconds timeout) const {
  return rtsp_recorder_->WaitFor(condition, timeout);
}

int Simulator::AnswerRtspAdmin(const std::string& path, const std::vector<std::string>& items,
                               std::string* body) {
  if (path == "camsim/rtsp") {
    *body = "running=" + std::string(rtsp_->running() ? "1" : "0") + "\r\n" +
            "port=" + std::to_string(rtsp_port()) + "\r\n" +
            "sessions=" + std::to_string(RtspSessions().size()) + "\r\n" +
            FormatRtspCounters(RtspStats());
    return kStatusOk;
  }
  for (const std::string& item : items) {
    if (!item.starts_with("ms=")) continue;
    const unsigned ms = ParseCount(item.substr(3));
    if (ms == 0) break;
    Restart(std::chrono::milliseconds(ms));
    *body = "restarting for " + std::to_string(ms) + " ms\r\n";
    return kStatusOk;
  }
  *body = "expected ms=N, N above 0\r\n";
  return kStatusBadRequest;
}

}  // namespace camsim
