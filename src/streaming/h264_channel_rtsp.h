#pragma once

#include "streaming/h264_depacketizer.h"
#include "streaming/rtsp_channel.h"

namespace kalmora {

// H.264 over RTSP/RTP (RFC 6184). RTP payloads become Annex B access units in the depacketiser;
// an access unit with a coded slice goes to the host, with the cached parameter sets in front of
// an IDR picture that lacks its own; an access unit of parameter sets alone becomes that cache.
//
// Threads: OnRTPPacket and the delivery run on the session's UDP receive thread; the rest is the
// base's (see CBaseRTSPChannel).
class CH264ChannelRTSP final : public CCommonChannelRTSP {
 public:
  CH264ChannelRTSP(std::uint32_t channel, CIPCaptureDriver* driver, ipcapture::ICaptureFrameCallback* consumer);
  ~CH264ChannelRTSP() override;

  void OnRTPPacket(CRTPReceiver* receiver, const sockaddr_in& sender, const RtpPacket& packet) override;

 protected:
  void FillStreamProfile(StreamProfile& profile) override { profile = H264StreamProfile(); }
  void ResetAssembly() override;

 private:
  // Hands one access unit to the host: true when the host took it.
  bool DeliverAccessUnit(const H264AccessUnit& unit);

  CH264Depacketizer depacketizer_;
};

}  // namespace kalmora
