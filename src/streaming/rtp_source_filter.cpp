#include "streaming/rtp_source_filter.h"

#include "streaming/rtp_packet.h"

namespace kalmora {
namespace {

constexpr std::uint64_t kLockedBit = std::uint64_t{1} << 32;

}  // namespace

bool CRtpSourceFilter::Accept(std::uint32_t ssrc, std::uint16_t sequence_number) {
  // The stream's own packet with no probation to end: nothing to change, so no lock. A Lock or
  // Reset racing it is as if it came right after.
  const std::uint64_t locked = stream_.load(std::memory_order_acquire);
  if (locked != 0 && static_cast<std::uint32_t>(locked) == ssrc && !on_probation_.load(std::memory_order_acquire)) {
    return true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint64_t stream = stream_.load();
  if (stream == 0) {
    SetStreamLocked(ssrc);
    return true;
  }
  if (static_cast<std::uint32_t>(stream) == ssrc) {
    // The locked source is alive: a probation under way starts over.
    SetCandidatePackets(0);
    return true;
  }
  // RFC 3550 appendix A.1: a source is valid only after enough packets in sequence.
  if (candidate_packets_ > 0 && candidate_ == ssrc && IsNextSequence(candidate_sequence_, sequence_number)) {
    SetCandidatePackets(candidate_packets_ + 1);
  } else {
    candidate_ = ssrc;
    SetCandidatePackets(1);
  }
  candidate_sequence_ = sequence_number;
  if (candidate_packets_ < kTakeOverPackets) return false;
  SetStreamLocked(ssrc);
  return true;
}

void CRtpSourceFilter::Lock(std::uint32_t ssrc) {
  std::lock_guard<std::mutex> lock(mutex_);
  SetStreamLocked(ssrc);
}

void CRtpSourceFilter::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  stream_.store(0);
  SetCandidatePackets(0);
}

std::optional<std::uint32_t> CRtpSourceFilter::StreamSsrc() const {
  const std::uint64_t stream = stream_.load();
  if (stream == 0) return std::nullopt;
  return static_cast<std::uint32_t>(stream);
}

void CRtpSourceFilter::SetStreamLocked(std::uint32_t ssrc) {
  stream_.store(kLockedBit | ssrc);
  SetCandidatePackets(0);
}

void CRtpSourceFilter::SetCandidatePackets(int packets) {
  candidate_packets_ = packets;
  on_probation_.store(packets > 0, std::memory_order_release);
}

}  // namespace kalmora
