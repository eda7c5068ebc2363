// Which synchronisation source's RTP packets a session takes (RFC 3550 appendix A.1).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

namespace kalmora {

// Locks onto one SSRC, the stream's: the first packet's, or one the RTSP SETUP reply names
// (Lock). Packets of any other SSRC are dropped, except that a new SSRC takes over after
// kTakeOverPackets consecutive in-sequence packets of it with no packet of the locked source in
// between: a camera that restarted its stream. The source address is not looked at: a server
// bound to any address may send media from another address than the one RTSP reached.
//
// Threads: Accept runs on the RTP receive thread; Lock and Reset on the channel thread, Lock also
// while packets arrive; StreamSsrc from any thread (the RTCP responder's). Accept takes no lock
// for a packet of the locked source while no other source is on probation.
class CRtpSourceFilter {
 public:
  static constexpr int kTakeOverPackets = 4;

  // Whether a packet of `ssrc` with `sequence_number` belongs to the stream.
  bool Accept(std::uint32_t ssrc, std::uint16_t sequence_number);
  // The stream's SSRC is `ssrc` from now on; a probation under way ends.
  void Lock(std::uint32_t ssrc);
  // Not locked: the next packet's SSRC becomes the stream's.
  void Reset();
  // The stream's SSRC; nullopt while not locked.
  std::optional<std::uint32_t> StreamSsrc() const;

 private:
  void SetStreamLocked(std::uint32_t ssrc);
  // Sets candidate_packets_ and on_probation_; with mutex_ held.
  void SetCandidatePackets(int packets);

  std::mutex mutex_;
  // The locked SSRC in the low 32 bits with bit 32 set; 0 while not locked. Written under
  // mutex_, read without it.
  std::atomic<std::uint64_t> stream_{0};
  std::uint32_t candidate_ = 0;           // guarded by mutex_
  std::uint16_t candidate_sequence_ = 0;  // guarded by mutex_: the candidate's last number
  int candidate_packets_ = 0;             // guarded by mutex_: 0 while there is no candidate
  // candidate_packets_ > 0, written under mutex_, read without it by Accept's fast path.
  std::atomic<bool> on_probation_{false};
};

}  // namespace kalmora
