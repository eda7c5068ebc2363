#include "streaming/mjpeg_channel_rtsp.h"

#include "host/types.h"

namespace kalmora {

CMJPEGChannelRTSP::CMJPEGChannelRTSP(std::uint32_t channel, CIPCaptureDriver* driver,
                                     ipcapture::ICaptureFrameCallback* consumer)
    : CCommonChannelRTSP(channel, driver, consumer, kRTSPStreamMJPEG) {}

CMJPEGChannelRTSP::~CMJPEGChannelRTSP() {
  // The receive thread calls into this class: it must end before the members go.
  Stop();
}

void CMJPEGChannelRTSP::ResetAssembly() {
  CCommonChannelRTSP::ResetAssembly();
  depacketizer_.Reset();
}

void CMJPEGChannelRTSP::OnRTPPacket(CRTPReceiver* /*receiver*/, const sockaddr_in& /*sender*/,
                                    const RtpPacket& packet) {
  if (!TakingMedia()) return;
  const RtpSequenceResult sequence = CheckSequence(packet.ssrc, packet.sequence_number);
  if (sequence == RtpSequenceResult::kStale) return;
  const JpegFrame picture = depacketizer_.OnPayload(packet.payload, packet.payload_length, packet.marker,
                                                    sequence == RtpSequenceResult::kGap);
  if (picture.event != JpegEvent::kFrame) return;
  time_stamps().AddTimeStamp(packet.time_stamp);
  DeliverPicture(picture);
}

bool CMJPEGChannelRTSP::DeliverPicture(const JpegFrame& picture) {
  if (picture.jpeg.empty()) return false;
  return HandToHost(ipcapture::kFrameTypeJpeg, static_cast<std::uint32_t>(picture.jpeg.size()), {picture.jpeg},
                    static_cast<std::uint32_t>(picture.width), static_cast<std::uint32_t>(picture.height),
                    MarkRefused::kNo);
}

}  // namespace kalmora
