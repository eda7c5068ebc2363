// The receiver side of RTCP for one session: RTCP packets of the camera's stream source are
// answered with a receiver report and a source description, so that the camera sees a live
// receiver.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "streaming/rtp_source_filter.h"

namespace kalmora {

// A packet is answered only when its sender SSRC (bytes 4 to 7) is the stream's SSRC as the
// source filter knows it (nothing is answered without a filter or before it knows the SSRC), and
// at most one reply goes out per kMinReplyIntervalMs, so whatever arrives, the responder never
// sends more than it received. Packets of kMaxIgnoredSize bytes or fewer are ignored.
//
// Threads: Start, RequestStop, WaitForEnd and the destructor are called by the channel thread;
// IsRunning, Ssrc, RequestStop and SetSourceFilter may be called from any thread. The responder
// thread answers on its own socket and reads only what Start set up before it began, and the
// filter.
class CRTCPResponder {
 public:
  static constexpr std::size_t kReplySize = 68;
  static constexpr std::size_t kCnameCapacity = 128;
  // Bytes of the CNAME that the source description carries.
  static constexpr std::size_t kCnameInReply = 26;
  static constexpr std::size_t kMaxPacketSize = 4096;
  // A packet this short is no RTCP packet worth an answer.
  static constexpr std::size_t kMaxIgnoredSize = 10;
  static constexpr int kMinReplyIntervalMs = 500;
  static constexpr int kSocketTimeoutMs = 500;
  // How long WaitForEnd lets a responder that was not told to stop run on by itself.
  static constexpr int kUnrequestedEndWaitMs = 10000;

  CRTCPResponder();
  ~CRTCPResponder();
  CRTCPResponder(const CRTCPResponder&) = delete;
  CRTCPResponder& operator=(const CRTCPResponder&) = delete;

  // Draws a new SSRC (std::rand seeded with the calendar time, four draws, the low byte of each,
  // first draw most significant), takes the host name as CNAME ("default" when there is none),
  // binds a UDP socket to any local address and port (0: a free one), and starts the responder thread. False,
  // with nothing running, when the port cannot be bound or set up, the thread cannot be created,
  // or a responder thread is still running.
  bool Start(std::uint16_t port);
  // Asks the thread to end; it does so at once (the socket is shut down to wake it).
  void RequestStop();
  // Joins the thread. One that was not asked to stop gets 10 s to end by itself before it is;
  // its receive time-out bounds the join after that. Always true.
  bool WaitForEnd();
  // From Start until the thread ends.
  bool IsRunning() const { return running_.load(); }
  std::uint32_t Ssrc() const { return ssrc_.load(); }
  // The port given to the last Start; the bound one when that was 0.
  std::uint16_t Port() const { return port_.load(); }
  // The filter whose stream SSRC the packets must carry; not owned, it must outlive the
  // responder thread. Null: nothing is answered.
  void SetSourceFilter(const CRtpSourceFilter* filter) { source_filter_.store(filter); }
  // errno of the last failed receive, 0 when none failed.
  int LastSocketError() const { return last_socket_error_.load(); }

  // The answer to one RTCP packet: a receiver report with one block about sender_ssrc (nothing
  // lost, no jitter, last_sr echoed, delay 1) and a source description whose CNAME item carries
  // cname_length and the first 26 bytes of cname, zero-padded.
  static std::array<std::uint8_t, kReplySize> BuildReply(std::uint32_t own_ssrc, std::uint32_t sender_ssrc,
                                                         const std::uint8_t last_sr[4],
                                                         std::uint16_t highest_sequence,
                                                         const std::uint8_t* cname, std::size_t cname_length);

 private:
  void Run(int socket);
  bool StopRequested() const;
  void Join();

  // Read by the responder thread at every packet and time-out, so without a lock.
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
  mutable std::mutex end_mutex_;
  std::condition_variable ended_;  // running_ cleared, under end_mutex_
  std::mutex start_mutex_;
  std::atomic<std::uint16_t> port_{0};
  std::atomic<std::uint32_t> ssrc_{0};
  std::thread thread_;  // guarded by start_mutex_
  std::mutex sequence_mutex_;
  // The extended highest sequence number of the report: nothing counts the stream here.
  std::uint16_t highest_sequence_ = 0;  // guarded by sequence_mutex_
  std::array<std::uint8_t, kCnameCapacity> cname_{};
  std::uint8_t cname_length_ = 0;
  std::mutex socket_mutex_;
  int socket_ = -1;  // guarded by socket_mutex_; closed by the thread when it ends
  std::atomic<int> last_socket_error_{0};
  std::atomic<const CRtpSourceFilter*> source_filter_{nullptr};
};

}  // namespace kalmora
