// RTP reception on one UDP port: each datagram's RTP header parsed and passed on.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "streaming/rtp_packet.h"
#include "streaming/rtp_source_filter.h"
#include "streaming/udp_port.h"

namespace kalmora {

class CRTPReceiver;

// The RTP side of a channel. Called on the receiver's UDP receive thread (OnPortClosed also on
// the thread that closes the port).
class IRTPReceiverUser {
 public:
  virtual ~IRTPReceiverUser() = default;
  // packet points into the datagram and is valid only during the call.
  virtual void OnRTPPacket(CRTPReceiver* receiver, const sockaddr_in& sender, const RtpPacket& packet) = 0;
  virtual void OnReceiveTimeout() = 0;
  virtual void OnPortClosed(CRTPReceiver* receiver) = 0;
};

// Owns the RTP port of a session (datagram buffer size 4096 bytes, which asks the socket for the
// largest receive buffer the port allows; every datagram is still received whole) and forwards
// every datagram that is an RTP packet with at least one payload byte once its padding is removed
// and whose source the source filter accepts; anything else is dropped silently.
//
// Threads: the channel opens and closes Port() from its own thread. SetRTPUser and
// SetSourceFilter are plain atomic exchanges: a callback that already started may still finish
// with the previous user or filter, so a channel that goes away clears the user and then closes
// the port, which waits for the receive thread; the filter must outlive the receiver.
class CRTPReceiver final : public IUDPPortUser {
 public:
  static constexpr std::size_t kReceiveBufferSize = 4096;

  CRTPReceiver();
  ~CRTPReceiver() override;
  CRTPReceiver(const CRTPReceiver&) = delete;
  CRTPReceiver& operator=(const CRTPReceiver&) = delete;

  CUDPPort& Port() { return port_; }
  // Null: nobody listens and datagrams are dropped.
  void SetRTPUser(IRTPReceiverUser* user) { rtp_user_.store(user); }
  IRTPReceiverUser* RTPUser() const { return rtp_user_.load(); }
  // Null: every source is taken. The filter is used on the receive thread and not owned.
  void SetSourceFilter(CRtpSourceFilter* filter) { source_filter_.store(filter); }

  void OnDatagram(CUDPPort* port, const sockaddr_in& sender, const std::uint8_t* data, std::size_t length) override;
  void OnTimeout() override;
  void OnClosed(CUDPPort* port) override;

 private:
  std::atomic<IRTPReceiverUser*> rtp_user_{nullptr};
  std::atomic<CRtpSourceFilter*> source_filter_{nullptr};
  CUDPPort port_;
};

}  // namespace kalmora
