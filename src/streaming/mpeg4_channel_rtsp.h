#pragma once

#include "streaming/mpeg4_depacketizer.h"
#include "streaming/rtsp_channel.h"

namespace kalmora {

// MPEG-4 visual over RTSP/RTP (RFC 3016). Intra pictures go to the host as "DIVX" frames with the
// configuration header in front, measured by the decoder library; predicted pictures as "DIVI".
// Without the decoder library no intra picture can be measured, so nothing is delivered.
//
// Threads: OnRTPPacket and the delivery run on the session's UDP receive thread; the rest is the
// base's (see CBaseRTSPChannel).
class CMPEGChannelRTSP final : public CCommonChannelRTSP {
 public:
  CMPEGChannelRTSP(std::uint32_t channel, CIPCaptureDriver* driver, ipcapture::ICaptureFrameCallback* consumer);
  ~CMPEGChannelRTSP() override;

  void OnRTPPacket(CRTPReceiver* receiver, const sockaddr_in& sender, const RtpPacket& packet) override;

 protected:
  void FillStreamProfile(StreamProfile& profile) override { profile = Mpeg4StreamProfile(); }
  void ResetAssembly() override;

 private:
  // Hands one picture to the host: true when the host took it.
  bool DeliverPicture(const Mpeg4Picture& picture);

  CMpeg4Depacketizer depacketizer_;
};

}  // namespace kalmora
