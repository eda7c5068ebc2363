#pragma once

#include "streaming/jpeg_depacketizer.h"
#include "streaming/rtsp_channel.h"

namespace kalmora {

// Motion-JPEG over RTSP/RTP (RFC 2435). The depacketiser joins the fragments of a picture and
// rebuilds its JPEG header; every complete picture goes to the host as a "JPEG" frame.
//
// Threads: OnRTPPacket and the delivery run on the session's UDP receive thread; the rest is the
// base's (see CBaseRTSPChannel).
class CMJPEGChannelRTSP final : public CCommonChannelRTSP {
 public:
  CMJPEGChannelRTSP(std::uint32_t channel, CIPCaptureDriver* driver, ipcapture::ICaptureFrameCallback* consumer);
  ~CMJPEGChannelRTSP() override;

  void OnRTPPacket(CRTPReceiver* receiver, const sockaddr_in& sender, const RtpPacket& packet) override;

 protected:
  void FillStreamProfile(StreamProfile& profile) override { profile = MjpegStreamProfile(); }
  void ResetAssembly() override;

 private:
  // Hands one picture to the host: true when the host took it. A refused picture is only lost.
  bool DeliverPicture(const JpegFrame& picture);

  CJpegDepacketizer depacketizer_;
};

}  // namespace kalmora
