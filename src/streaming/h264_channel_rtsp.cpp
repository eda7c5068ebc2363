#include "streaming/h264_channel_rtsp.h"

#include <cstring>

#include "host/types.h"

namespace kalmora {

CH264ChannelRTSP::CH264ChannelRTSP(std::uint32_t channel, CIPCaptureDriver* driver,
                                   ipcapture::ICaptureFrameCallback* consumer)
    : CCommonChannelRTSP(channel, driver, consumer, kRTSPStreamH264) {}

CH264ChannelRTSP::~CH264ChannelRTSP() {
  // The receive thread calls into this class: it must end before the members go.
  Stop();
}

void CH264ChannelRTSP::ResetAssembly() {
  CCommonChannelRTSP::ResetAssembly();
  depacketizer_.Reset();
}

void CH264ChannelRTSP::OnRTPPacket(CRTPReceiver* /*receiver*/, const sockaddr_in& /*sender*/,
                                   const RtpPacket& packet) {
  if (!TakingMedia()) return;
  const RtpSequenceResult sequence = CheckSequence(packet.ssrc, packet.sequence_number);
  // A duplicate or late packet is dropped; the frame in progress goes on without it.
  if (sequence == RtpSequenceResult::kStale) return;
  const bool gap = sequence == RtpSequenceResult::kGap;
  const H264AccessUnit unit = depacketizer_.OnPayload(packet.payload, packet.payload_length, packet.marker, gap);
  if (unit.event != H264Event::kFrame) return;
  // Only pictures are frames: a parameter-set unit shares its IDR's time stamp and would shift it.
  time_stamps().AddTimeStamp(packet.time_stamp);
  if (!DeliverAccessUnit(unit)) depacketizer_.MarkBroken();
}

bool CH264ChannelRTSP::DeliverAccessUnit(const H264AccessUnit& unit) {
  ipcapture::ICaptureFrameFactory* factory = frame_factory();
  if (factory == nullptr) return false;
  const auto length = static_cast<std::uint32_t>(unit.Size());
  const std::uint32_t type = unit.key_frame ? ipcapture::kFrameTypeH264 : ipcapture::kFrameTypeH264Delta;
  const std::uint32_t size_class = PictureSizeClass(width(), height());
  ipcapture::ICaptureFrame* frame = factory->AllocateFrame(type, FrameBufferSize(length), kAllocationTag);
  if (frame == nullptr) return false;
  std::uint8_t* data = frame->GetData();
  if (!unit.header.empty()) std::memcpy(data, unit.header.data(), unit.header.size());
  std::memcpy(data + unit.header.size(), unit.body.data(), unit.body.size());

  ipcapture::SystemTime stamp;
  time_stamps().GetFrameTime(stamp);
  frame->SetWidth(width());
  frame->SetHeight(height());
  frame->SetSizeClass(size_class);
  frame->SetDataLength(length);
  frame->SetFrameType(type);
  frame->SetTimeStamp(stamp);

  const bool taken = consumer() != nullptr && consumer()->CaptureFrameCallback(frame);
  MarkFrameReceived();
  factory->ReleaseFrame(frame);
  if (taken) SetCameraState(true);
  return taken;
}

}  // namespace kalmora
