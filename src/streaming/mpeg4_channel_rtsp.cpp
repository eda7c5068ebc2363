#include "streaming/mpeg4_channel_rtsp.h"

#include "host/types.h"

namespace kalmora {

CMPEGChannelRTSP::CMPEGChannelRTSP(std::uint32_t channel, CIPCaptureDriver* driver,
                                   ipcapture::ICaptureFrameCallback* consumer)
    : CCommonChannelRTSP(channel, driver, consumer, kRTSPStreamMPEG4) {}

CMPEGChannelRTSP::~CMPEGChannelRTSP() {
  // The receive thread calls into this class: it must end before the members go.
  Stop();
}

void CMPEGChannelRTSP::ResetAssembly() {
  CCommonChannelRTSP::ResetAssembly();
  depacketizer_.Reset();
}

void CMPEGChannelRTSP::OnRTPPacket(CRTPReceiver* /*receiver*/, const sockaddr_in& /*sender*/,
                                   const RtpPacket& packet) {
  if (!TakingMedia()) return;
  const RtpSequenceResult sequence = CheckSequence(packet.ssrc, packet.sequence_number);
  if (sequence == RtpSequenceResult::kStale) return;
  const Mpeg4Picture picture = depacketizer_.OnPayload(packet.payload, packet.payload_length, packet.marker,
                                                       sequence == RtpSequenceResult::kGap);
  if (picture.event != Mpeg4Event::kFrame) return;
  time_stamps().AddTimeStamp(packet.time_stamp);
  // A refused picture breaks the stream until the next intra picture: the decoder behind the
  // host cannot use predicted pictures whose reference it never got.
  if (!DeliverPicture(picture)) depacketizer_.MarkBroken();
}

bool CMPEGChannelRTSP::DeliverPicture(const Mpeg4Picture& picture) {
  if (frame_factory() == nullptr) return false;
  const auto length = static_cast<std::uint32_t>(picture.data.size());
  std::uint32_t type = ipcapture::kFrameTypeDivi;
  if (picture.key_frame) {
    if (!MeasureMpeg4Picture(picture.data.data(), length)) return false;
    type = ipcapture::kFrameTypeDivx;
  }
  return HandToHost(type, FrameBufferSize(length), {picture.data}, width(), height(), MarkRefused::kYes);
}

}  // namespace kalmora
