// Faults of the RTSP and RTP side: what happens to packets, media stalls, camera restarts and
// stalled RTSP replies.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

enum class MediaFaultKind {
  kLoss,        // drop packets: a percentage (seeded, so runs repeat) or every Nth
  kReorder,     // every Nth packet goes out after the one that follows it
  kDuplicate,   // every Nth packet goes out twice
  kStall,       // every session stops sending for ms, then goes on with the next frame
  kRestart,     // the camera restarts: sessions and connections drop, it is away for ms
  kReplyStall,  // the reply to an RTSP method waits ms before it goes out
  kPad,         // every packet carries RTP padding: 1, 2, ... octets up to `octets`, then 1 again
  kDropPacket,  // one packet of one frame of every session is dropped
};

// MediaFault::packet for the last packet of a frame, the one with the marker bit.
constexpr int kLastPacket = -1;

struct MediaFault {
  MediaFaultKind kind = MediaFaultKind::kLoss;
  int percent = 0;           // kLoss when every is 0: the share of packets dropped
  int every = 0;             // kLoss, kReorder, kDuplicate: every Nth packet of a session
  std::uint32_t seed = 1;    // kLoss by percentage: the seed of each session's draws
  int ms = 0;                // kStall, kRestart, kReplyStall
  std::string method = "*";  // kReplyStall: the method ("DESCRIBE", ...), "*" for every one
  int count = -1;            // kReplyStall: replies it still applies to; -1 for every one
  int octets = 0;            // kPad: the most padding octets of a packet, 1 to 255
  std::int64_t frame = 0;    // kDropPacket: the frame's SentFrame::index within its session
  int packet = kLastPacket;  // kDropPacket: the packet within that frame, from 0, or kLastPacket
};

std::string_view MediaFaultKindName(MediaFaultKind kind);
// Whether the text names a media fault kind (its first ':' field), so that a fault text can be
// routed to ParseMediaFault or ParseFault.
bool IsMediaFaultText(std::string_view text);
// Parses the forms in kMediaFaultHelp; nullopt with a reason for a malformed text.
std::optional<MediaFault> ParseMediaFault(std::string_view text, std::string* error);
// The same text form.
std::string FormatMediaFault(const MediaFault& fault);

extern const char* const kMediaFaultHelp;

// Where a packet stands in its session.
struct PacketPlace {
  std::uint64_t frame = 0;   // SentFrame::index of its frame
  std::uint64_t packet = 0;  // 0, 1, ... within that frame
  bool last = false;         // the frame's last packet
};

// What becomes of one packet.
struct PacketFate {
  bool drop = false;
  bool duplicate = false;
  bool hold = false;  // send it after the next packet
  int padding = 0;    // padding octets to add (RFC 3550 section 5.1), count octet included
};

// The packet faults of one session: counts its packets (1, 2, ...) and draws its losses from a
// generator seeded with the loss fault's seed, so a session sees the same losses every run.
// Belongs to one media thread; no locking.
class PacketFaultFilter {
 public:
  // The fate of the session's next packet, which stands at place.
  PacketFate Next(const std::vector<MediaFault>& faults, const PacketPlace& place);

 private:
  std::uint64_t count_ = 0;
  std::mt19937 random_;
  std::optional<std::uint32_t> seeded_with_;
};

// The media faults in force. Loss, reorder, duplicate, pad, drop-packet and reply-stall faults
// stay until Clear; a stall applies from the moment it is added; a restart is carried out by the
// simulator and not kept. Thread-safe.
class MediaFaultSet {
 public:
  void Add(const MediaFault& fault);
  void Clear();
  // The kept faults, for listing.
  std::vector<MediaFault> List() const;
  // Loss, reorder, duplicate, pad and drop-packet faults; a counter that changes with them lets a
  // media thread skip copying when nothing changed.
  std::vector<MediaFault> PacketFaults() const;
  std::uint64_t version() const;
  // Until when media is stalled; a time in the past when it is not.
  std::chrono::steady_clock::time_point StallUntil() const;
  // How long the reply to method waits; uses up one of a counted fault. 0 when none applies.
  int TakeReplyStall(std::string_view method);

 private:
  mutable std::mutex mutex_;
  std::vector<MediaFault> faults_;                   // guarded by mutex_
  std::uint64_t version_ = 0;                        // guarded by mutex_
  std::chrono::steady_clock::time_point stall_until_;  // guarded by mutex_
};

}  // namespace camsim
