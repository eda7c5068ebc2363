// The channel classes the driver chooses from the stream type. Their receiving machinery (RTSP
// session with RTP depacketising, or repeated JPEG retrieval over HTTP) is not built yet: until
// it is, they refuse to start and report the stopped state, so a host sees a plain failure.
#pragma once

#include "streaming/base_camera_channel.h"

namespace kalmora {

class CNotYetStreamingChannel : public CBaseCameraChannel {
 public:
  using CBaseCameraChannel::CBaseCameraChannel;

 protected:
  bool StartStreaming() override { return false; }
  void StopStreaming() override {}
};

// H.264 over RTSP/RTP.
class CH264ChannelRTSP final : public CNotYetStreamingChannel {
 public:
  using CNotYetStreamingChannel::CNotYetStreamingChannel;
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

// Motion-JPEG as single pictures over HTTP.
class CMJPEGChannelHTTP final : public CNotYetStreamingChannel {
 public:
  using CNotYetStreamingChannel::CNotYetStreamingChannel;
};

}  // namespace kalmora
