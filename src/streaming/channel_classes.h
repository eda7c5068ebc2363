// The channel classes the driver chooses from the stream type. H.264 over RTSP streams; the
// Motion-JPEG and MPEG-4 channels are not built yet: they refuse to start and report the stopped
// state, so a host sees a plain failure.
#pragma once

#include "streaming/base_camera_channel.h"
#include "streaming/h264_channel_rtsp.h"
#include "streaming/mjpeg_channel_http.h"

namespace kalmora {

class CNotYetStreamingChannel : public CBaseCameraChannel {
 public:
  using CBaseCameraChannel::CBaseCameraChannel;

 protected:
  bool CanStream() const override { return false; }
  std::uint32_t ThreadBody() override { return 0; }
};

// MPEG-4 over RTSP/RTP.
class CMPEGChannelRTSP final : public CNotYetStreamingChannel {
 public:
  using CNotYetStreamingChannel::CNotYetStreamingChannel;
};

// Motion-JPEG over RTSP/RTP.
class CMJPEGChannelRTSP final : public CNotYetStreamingChannel {
 public:
  using CNotYetStreamingChannel::CNotYetStreamingChannel;
};

}  // namespace kalmora
