// The channel classes the driver chooses from the stream type and custom parameter 6.
#pragma once

#include "streaming/base_camera_channel.h"
#include "streaming/h264_channel_rtsp.h"
#include "streaming/mjpeg_channel_rtsp.h"
#include "streaming/mpeg4_channel_rtsp.h"

namespace kalmora {

class CNotYetStreamingChannel : public CBaseCameraChannel {
 public:
  using CBaseCameraChannel::CBaseCameraChannel;

 protected:
  bool CanStream() const override { return false; }
  std::uint32_t ThreadBody() override { return 0; }
};

// Motion-JPEG as single pictures over HTTP.
class CMJPEGChannelHTTP final : public CNotYetStreamingChannel {
 public:
  using CNotYetStreamingChannel::CNotYetStreamingChannel;
};

}  // namespace kalmora
