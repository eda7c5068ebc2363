#include "streaming/rtp_receiver.h"

namespace kalmora {
namespace {

// The fixed header alone carries no media.
constexpr std::size_t kMinDatagramLength = 13;

}  // namespace

CRTPReceiver::CRTPReceiver() {
  port_.SetUser(this);
  port_.SetReceiveBufferSize(kReceiveBufferSize);
}

CRTPReceiver::~CRTPReceiver() {
  // Closed here, while this object is whole, so the closing callbacks still find it.
  port_.Close();
  port_.SetUser(nullptr);
}

void CRTPReceiver::OnDatagram(CUDPPort* port, const sockaddr_in& sender, const std::uint8_t* data,
                              std::size_t length) {
  if (port != &port_ || length < kMinDatagramLength) return;
  RtpPacket packet;
  if (!ParseRtpPacket(data, length, packet)) return;
  CRtpSourceFilter* filter = source_filter_.load();
  if (filter != nullptr && !filter->Accept(packet.ssrc, packet.sequence_number)) return;
  // A packet of nothing but padding carries no media.
  if (packet.payload_length == 0) return;
  if (IRTPReceiverUser* user = rtp_user_.load()) user->OnRTPPacket(this, sender, packet);
}

void CRTPReceiver::OnTimeout() {
  if (IRTPReceiverUser* user = rtp_user_.load()) user->OnReceiveTimeout();
}

void CRTPReceiver::OnClosed(CUDPPort*) {
  if (IRTPReceiverUser* user = rtp_user_.load()) user->OnPortClosed(this);
}

}  // namespace kalmora
