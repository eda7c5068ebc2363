#include "streaming/h264_channel_rtsp.h"

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
  const auto length = static_cast<std::uint32_t>(unit.Size());
  const std::uint32_t type = unit.key_frame ? ipcapture::kFrameTypeH264 : ipcapture::kFrameTypeH264Delta;
  return HandToHost(type, FrameBufferSize(length), {unit.header, unit.body}, width(), height(), MarkRefused::kYes);
}

}  // namespace kalmora
