#include "streaming/mjpeg_channel_http.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "driver/capture_driver.h"
#include "driver/log_level.h"
#include "host/types.h"

namespace kalmora {
namespace {

constexpr const char* kHttpAgent = "Kalmora::HttpClient";
constexpr const char* kFrameReceived = "kalmora::CMJPEGChannelHTTP::FrameReceived";
constexpr std::uint32_t kStatusOk = 200;
constexpr std::uint32_t kMaxDirectFramesPerSecond = 4;

// A wait of 0 ms would let the loop spin at a 1 ms frame interval.
std::uint32_t AtLeastOneMs(std::uint32_t ms) { return std::max(ms, 1u); }

std::uint32_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  return ms <= 0 ? 0u : static_cast<std::uint32_t>(std::min<long long>(ms, UINT32_MAX));
}

}  // namespace

bool UsesFrameCache(std::uint32_t frame_interval_ms) {
  return 1000 / std::max(frame_interval_ms, 1u) > kMaxDirectFramesPerSecond;
}

std::uint32_t PicturePeriodMs(std::uint32_t frame_interval_ms, bool caching) {
  // 85 % in integers: the same truncation as the product with 0.85, without its rounding error.
  return caching ? static_cast<std::uint32_t>(std::uint64_t{frame_interval_ms} * 85 / 100) : frame_interval_ms;
}

CMJPEGChannelHTTP::CMJPEGChannelHTTP(std::uint32_t channel, CIPCaptureDriver* driver,
                                     ipcapture::ICaptureFrameCallback* consumer)
    : CBaseCameraChannel(channel, driver, consumer),
      http_(kHttpAgent, driver != nullptr ? driver->communication_timeout_ms()
                                          : CIPCaptureDriver::kDefaultCommunicationTimeoutMs),
      cache_(driver != nullptr ? driver->frame_factory() : nullptr, consumer) {
  if (driver != nullptr) {
    http_.SetHost(driver->address().c_str());
    http_.SetUser(driver->user_name().c_str());
    http_.SetPassword(driver->password().c_str());
  }
  http_.SetPort(kVideoPort);
}

CMJPEGChannelHTTP::~CMJPEGChannelHTTP() {
  // The thread runs this class's body: it must end before the members go.
  Stop();
}

std::uint32_t CMJPEGChannelHTTP::ThreadBody() {
  SetState(ipcapture::kChannelConnecting);
  const std::uint32_t interval = std::max(frame_interval_ms(), 1u);
  caching_ = UsesFrameCache(interval);
  if (caching_) {
    cache_.SetNoFrameTime(signal_loss_timeout_ms());
    // Without its thread the pictures go to the host directly rather than into a queue no one
    // empties.
    caching_ = cache_.Start(kCacheThreadName, interval);
  }

  // A stop is a stop: whatever the aborted request returned, a set stop event ends the run.
  bool stopped = !EnterAbortable();
  while (!stopped) {
    bool grab_stopped = false;
    if (ConfigureMjpegEncoder(http_, FormatEncoderInputs(), max_bitrate_)) {
      MarkFrameReceived();
      SetState(ipcapture::kChannelStreaming);
      ResetErrorCount();
      grab_stopped = GrabPictures();
    }
    http_.CloseRequest();
    stopped = grab_stopped || StopRequested();
    SetState(stopped ? ipcapture::kChannelStopped : ipcapture::kChannelSignalLost);
    SetCameraState(false);
    if (stopped) break;
    // Without the cache nothing else tells the host; with it, the caching thread does.
    if (!caching_ && consumer() != nullptr && !StopRequested()) consumer()->NotifyNoSignal();
    stopped = stop_event().Wait(kRetryWaitMs);
  }
  SetState(ipcapture::kChannelStopped);

  // The idle profile goes out even though a stop aborted the client, under a short bound of its
  // own, so a camera that stalls it cannot hold the stop up.
  LeaveAbortable();
  http_.SetExchangeLimit(kIdleRequestLimitMs);
  RestoreIdleEncoder(http_, channel() + 1, driver() != nullptr && driver()->ntsc(), max_bitrate_);
  http_.SetExchangeLimit(0);
  http_.CloseRequest();

  caching_ = false;
  cache_.Stop();
  return 0;
}

bool CMJPEGChannelHTTP::EnterAbortable() {
  std::lock_guard<std::mutex> guard(abort_lock_);
  if (StopRequested()) return false;
  // A Cancel of an earlier run is lifted; from here on a stop cancels again.
  http_.ResetCancel();
  abortable_ = true;
  return true;
}

void CMJPEGChannelHTTP::LeaveAbortable() {
  std::lock_guard<std::mutex> guard(abort_lock_);
  abortable_ = false;
  http_.ResetCancel();
}

void CMJPEGChannelHTTP::AbortBlockingWork() {
  cache_.RequestStop();
  std::lock_guard<std::mutex> guard(abort_lock_);
  if (abortable_) http_.Cancel();
}

bool CMJPEGChannelHTTP::GrabPictures() {
  const std::uint32_t period = PicturePeriodMs(frame_interval_ms(), caching_);
  if (StopRequested()) return true;
  // Whatever ends the loop, no picture in progress outlives it.
  struct ClearOnReturn {
    CJpegBodyScanner& scanner;
    ~ClearOnReturn() { scanner.Clear(); }
  } clear_on_return{scanner_};

  std::vector<std::uint8_t> body;
  for (;;) {
    const auto start = std::chrono::steady_clock::now();
    http_.SetMaxBodyBytes(Web::CHttpClient::kMaxPictureBytes);
    if (!http_.SendRequest("GET", kVideoPath)) return false;

    bool stop_seen = false;
    std::size_t pictures = 0;
    if (http_.GetStatusCode() == kStatusOk) {
      http_.ReadResponseBody(body, kBodyChunkBytes);
      pictures = scanner_
                     .Scan(body.data(), body.size(),
                           [&](const std::vector<std::uint8_t>& picture) {
                             FrameReceived(picture);
                             const std::uint32_t elapsed = MillisecondsSince(start);
                             stop_seen = stop_event().Wait(AtLeastOneMs(period > elapsed ? period - elapsed : 0));
                             return !stop_seen;
                           })
                     .pictures;
    }
    if (stop_seen) return true;
    if (pictures > 0) continue;
    if (IsSignalLost()) return false;
    if (stop_event().Wait(AtLeastOneMs(period / 2))) return true;
  }
}

void CMJPEGChannelHTTP::FrameReceived(const std::vector<std::uint8_t>& image) {
  CIPCaptureDriver* owner = driver();
  if (owner == nullptr || consumer() == nullptr) {
    if (owner != nullptr) owner->Log(kMsgError, "%s: Internal error. One of class attributes is incorrect", kFrameReceived);
    return;
  }
  if (image.empty()) return;
  const std::optional<JpegPictureSize> size = FindJpegPictureSize(image.data(), image.size());
  if (!size) {
    if (AllowReport()) {
      owner->Log(kMsgError, "%s: Image parse error. Broken images for this camera %s:%u", kFrameReceived,
                 owner->address().c_str(), static_cast<unsigned>(owner->port()));
    }
    return;
  }
  ipcapture::ICaptureFrameFactory* factory = frame_factory();
  if (factory == nullptr) return;
  const auto length = static_cast<std::uint32_t>(image.size());
  ipcapture::ICaptureFrame* frame = factory->AllocateFrame(ipcapture::kFrameTypeJpeg, length, kAllocationTag);
  if (frame == nullptr) return;
  frame->SetWidth(size->width);
  frame->SetHeight(size->height);
  frame->SetSizeClass(PictureSizeClass(width(), height()));
  frame->SetDataLength(length);
  frame->SetFrameType(ipcapture::kFrameTypeJpeg);
  frame->StampCurrentTime();
  std::memcpy(frame->GetData(), image.data(), length);

  if (caching_) {
    cache_.PushFrame(frame);
    MarkFrameReceived();
    SetCameraState(true);
    return;
  }
  const bool taken = consumer()->CaptureFrameCallback(frame);
  if (!taken && AllowReport()) {
    owner->Log(kMsgError, "%s: Cannot send JPEG frame from camera %s:%u to ZELV. CaptureFrameCallback failed!",
               kFrameReceived, owner->address().c_str(), static_cast<unsigned>(owner->port()));
  }
  factory->ReleaseFrame(frame);
  if (taken) {
    MarkFrameReceived();
    SetCameraState(true);
  }
}

}  // namespace kalmora
