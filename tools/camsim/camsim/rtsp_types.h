// Settings, counters and records of the simulator's RTSP side.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

// kFamily answers as cameras of the family do: numeric session ids and only the reply headers
// the family's clients know. kStandard answers as other common servers do: alphanumeric ids
// with leading zeros, more headers, and a DESCRIBE reply whose headers and body come in
// separate TCP segments.
enum class RtspDialect { kFamily, kStandard };

std::string_view RtspDialectName(RtspDialect dialect);
std::optional<RtspDialect> ParseRtspDialect(std::string_view name);

// The Motion-JPEG stream (RFC 2435): pictures the simulator encodes with libjpeg at start.
struct MjpegSettings {
  // RFC 2435 type: 0 (4:2:2, luma sampled 2x1), 1 (4:2:0, 2x2); 64 and 65 are the same with
  // restart markers every restart_interval MCUs.
  int type = 1;
  // 1 to 99: the pictures use libjpeg's tables for that quality, which a receiver rebuilds from
  // Q, and no tables are sent. 128 to 255: the pictures are encoded at table_quality and their
  // tables travel in the first packet of each frame (or, with tables_once, of the session's first
  // frame only, later frames sending the length 0).
  int q = 75;
  int table_quality = 75;  // 1 to 100
  bool tables_once = false;
  int width = 640;   // pixels, a multiple of 16 up to 2032 (the header carries width / 8)
  int height = 480;  // pixels, the same
  int restart_interval = 8;  // MCUs, 1 to 65535; types 64 and 65 only
};

struct RtspSettings {
  bool enabled = false;
  std::uint16_t port = 554;  // 0: a free port
  RtspDialect dialect = RtspDialect::kFamily;
  int session_timeout_s = 60;
  bool announce_timeout = true;  // ";timeout=N" on the Session header
  // With announce_timeout: only the SETUP reply announces it, as many servers do; the Session
  // headers of later replies carry the bare id.
  bool timeout_in_setup_only = false;
  bool stap_a_parameter_sets = false;
  // RTP payload bytes: larger NAL units go in FU-A fragments, JPEG scan data and MPEG-4 pictures
  // are split over several packets.
  std::size_t max_payload = 1400;
  std::string clip_path;           // empty: the default clip
  MjpegSettings mjpeg;
  // MPEG-4 (RFC 3016): the configuration header goes before every intra picture, in the
  // picture's first packet or, with this, in a packet of its own (no marker) right before it.
  bool mpeg4_header_own_packet = false;
  std::string mpeg4_clip_path;  // empty: the built clip
  std::string frame_log_path;      // empty: none; else one line per access unit sent
};

struct RtspCounters {
  std::uint64_t requests = 0;
  std::uint64_t connections_accepted = 0;
  std::uint64_t connections_closed = 0;
  std::uint64_t sessions_created = 0;
  std::uint64_t sessions_torn_down = 0;
  std::uint64_t sessions_expired = 0;
  std::uint64_t sessions_dropped = 0;  // by a restart or Stop
  std::uint64_t sessions_playing = 0;  // media threads started
  std::uint64_t packets_sent = 0;      // RTP datagrams, duplicates included
  std::uint64_t packets_dropped = 0;   // by loss faults
  std::uint64_t packets_duplicated = 0;
  std::uint64_t packets_reordered = 0;
  std::uint64_t frames_sent = 0;           // picture access units
  std::uint64_t parameter_units_sent = 0;  // parameter-set access units
  std::uint64_t sender_reports_sent = 0;
  std::uint64_t receiver_reports_received = 0;
  std::uint64_t restarts = 0;
  // The last receiver report that arrived, as received.
  std::string last_receiver_report;
};

// One RTSP request, recorded when its headers and body have arrived.
struct RtspRequestRecord {
  std::uint64_t sequence = 0;       // 1, 2, ... over the simulator's life
  std::uint64_t connection_id = 0;  // 1, 2, ... in the order RTSP connections were accepted
  std::string method;
  std::string url;
  std::optional<unsigned> cseq;
  std::string session;  // the Session header as sent; empty without one
  std::chrono::system_clock::time_point received;
  std::string text;  // the whole request, headers and body
};

// One access unit a session sent: a picture, or a header unit sent right before its picture.
struct SentFrame {
  std::uint64_t sequence = 0;  // 1, 2, ... over all sessions
  std::string session;
  std::uint64_t index = 0;      // 0, 1, ... within its session
  // Which unit of the clip: H.264, the unit of H264Clip::units(); Motion-JPEG, the picture
  // (Simulator::MjpegFrame); MPEG-4, the picture of Mpeg4Clip::pictures() (for a header unit,
  // the picture it precedes).
  std::size_t clip_unit = 0;
  std::uint32_t rtp_time = 0;
  bool idr = false;             // an IDR or intra picture; every JPEG picture
  bool parameter_sets = false;  // H.264 parameter sets, or an MPEG-4 header in a packet of its own
  // Its length: H.264, what a receiver rebuilds, the sum of (3-byte start code + NAL unit size);
  // Motion-JPEG, the JPEG picture as encoded; MPEG-4, the unit's bytes, header included.
  std::size_t annexb_length = 0;
  std::uint16_t first_sequence = 0;  // RTP sequence numbers of its first and last packet
  std::uint16_t last_sequence = 0;
  std::size_t packets = 0;
  std::int64_t marker_time_ns = 0;  // system_clock, since the epoch: when its last packet left
};

// What became of the packets of one access unit.
struct PacketTally {
  std::uint64_t sent = 0;  // datagrams, duplicates included
  std::uint64_t dropped = 0;
  std::uint64_t duplicated = 0;
  std::uint64_t reordered = 0;
};

// "index session rtp_ts idr header length marker_time_ns", the frame log's line.
std::string FormatSentFrame(const SentFrame& frame);
// The counters as "key=value" lines (CRLF), the receiver report in hex.
std::string FormatRtspCounters(const RtspCounters& counters);

}  // namespace camsim
