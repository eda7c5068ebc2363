// Motion-JPEG as single pictures over HTTP: the channel fetches "/video.jpg" from the camera's
// port 80 again and again, at the frame interval the host asked for, and hands each picture on.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "camera/http_client.h"
#include "streaming/base_camera_channel.h"
#include "streaming/caching_thread.h"
#include "streaming/encoder_configuration.h"
#include "streaming/jpeg_picture_scan.h"

namespace kalmora {

// Whether a channel of this frame interval (0 counts as 1 ms) queues its pictures for the caching
// thread: above 4 frames per second.
bool UsesFrameCache(std::uint32_t frame_interval_ms);
// The time one picture may take from its request to the next: 85 % of the interval with the
// cache (so the queue stays filled), the interval itself without.
std::uint32_t PicturePeriodMs(std::uint32_t frame_interval_ms, bool caching);

// The channel thread sets the camera's encoder 3 to the host's format, then loops over picture
// requests until a stop, or a failure (it tries again after 3 s). Above 4 frames per second the
// pictures go through a CCachingThread, which delivers them at an even pace. On a stop the
// encoder gets its idle profile back.
//
// Threads: Start, Stop and RestartWithFormat come from the host's control thread (the base's);
// the channel thread runs everything else, the caching thread delivers from its queue. Stop
// aborts the HTTP exchange in progress through abort_lock_; the channel thread lifts that abort
// for its start and for the idle-profile request, with the same lock, so no abort is lost and
// none lands on a request it was not meant for.
class CMJPEGChannelHTTP final : public CBaseCameraChannel {
 public:
  static constexpr const char* kAllocationTag = "Tessavirn";
  static constexpr const char* kCacheThreadName = "CMJPEGChannelHTTP::FrameCacheThread";
  static constexpr const char* kVideoPath = "/video.jpg";
  // Pictures always come from port 80, whatever port the parameter interface has.
  static constexpr std::uint16_t kVideoPort = 80;
  static constexpr std::uint32_t kRetryWaitMs = 3000;
  // A stop must not wait long for a camera that stalls the idle-profile request.
  static constexpr std::uint32_t kIdleRequestLimitMs = 1000;
  static constexpr std::size_t kBodyChunkBytes = 51200;

  // As the base: driver and consumer outlive the channel.
  CMJPEGChannelHTTP(std::uint32_t channel, CIPCaptureDriver* driver, ipcapture::ICaptureFrameCallback* consumer);
  ~CMJPEGChannelHTTP() override;

  // Channel thread: measures one JPEG picture and hands it to the host, through the cache when
  // it is on. A picture without a size is logged and dropped.
  void FrameReceived(const std::vector<std::uint8_t>& image);

 protected:
  std::uint32_t ThreadBody() override;
  void AbortBlockingWork() override;

 private:
  // The picture loop: true when it ended because of a stop, false on a failed request or when
  // the signal-loss time-out passed without a picture.
  bool GrabPictures();
  // Makes the HTTP client usable for this run of the thread; false when the stop has already
  // come, and the run is to end at once.
  bool EnterAbortable();
  // From here on no stop aborts the client: one that came is lifted.
  void LeaveAbortable();

  Web::CHttpClient http_;
  CCachingThread cache_;
  bool caching_ = false;          // channel thread only
  unsigned max_bitrate_ = 0;      // channel thread only; 0 until the camera told its range
  CJpegBodyScanner scanner_;      // channel thread only
  std::mutex abort_lock_;
  bool abortable_ = false;        // guarded by abort_lock_: a stop must cancel the client
};

}  // namespace kalmora
