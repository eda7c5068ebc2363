#include "streaming/mjpeg_channel_rtsp.h"

#include <cstring>

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
  ipcapture::ICaptureFrameFactory* factory = frame_factory();
  if (factory == nullptr || picture.jpeg.empty()) return false;
  const auto length = static_cast<std::uint32_t>(picture.jpeg.size());
  ipcapture::ICaptureFrame* frame = factory->AllocateFrame(ipcapture::kFrameTypeJpeg, length, kAllocationTag);
  if (frame == nullptr) return false;
  std::memcpy(frame->GetData(), picture.jpeg.data(), length);

  ipcapture::SystemTime stamp;
  time_stamps().GetFrameTime(stamp);
  frame->SetWidth(static_cast<std::uint32_t>(picture.width));
  frame->SetHeight(static_cast<std::uint32_t>(picture.height));
  frame->SetSizeClass(PictureSizeClass(width(), height()));
  frame->SetDataLength(length);
  frame->SetFrameType(ipcapture::kFrameTypeJpeg);
  frame->SetTimeStamp(stamp);

  const bool taken = consumer() != nullptr && consumer()->CaptureFrameCallback(frame);
  factory->ReleaseFrame(frame);
  if (taken) {
    MarkFrameReceived();
    SetCameraState(true);
  }
  return taken;
}

}  // namespace kalmora
