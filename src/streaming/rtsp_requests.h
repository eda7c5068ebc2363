// The request texts of this camera family's RTSP client and the CSeq counter they carry.
//
// Pure text building: no socket is touched here. Used by the RTSP client on the channel thread
// that owns it (one client per session); no locking.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kalmora {

// Request types; the integers are shared by the RTSP client and the channel.
enum RTSPRequestType : int {
  kRTSPDescribe = 1,
  kRTSPSetup = 2,
  kRTSPPlay = 3,
  kRTSPPause = 4,
  kRTSPTeardown = 5,
  kRTSPOptions = 6,
};

// Stream kinds; each selects a stream name in the URL.
enum RTSPStreamKind : int {
  kRTSPStreamMJPEG = 1,
  kRTSPStreamMPEG4 = 2,
  kRTSPStreamH264 = 3,
};

// The URL always names this port, whatever port the host configured for the camera's web side.
inline constexpr std::uint16_t kRTSPServerPort = 554;

// "mjpeg", "mpeg4" or "h264"; empty for any other kind.
std::string_view RTSPStreamName(int stream_kind);

// The CSeq of one control connection (RFC 2326 section 12.17). The first request carries 1.
// The camera's CSeq in a reply replaces the counter, so the next request carries the camera's
// last CSeq + 1: some cameras answer with their own numbering and refuse a request whose CSeq
// does not follow it.
class CRTSPCSeqCounter {
 public:
  // The value for the next request; advances the counter. Wraps after 4294967295 to 0.
  unsigned Next() { return ++last_; }
  // The CSeq header of a reply.
  void Follow(unsigned reply_cseq) { last_ = reply_cseq; }
  unsigned Last() const { return last_; }

 private:
  unsigned last_ = 0;
};

// What a request names besides its type and CSeq.
struct RTSPRequestArgs {
  std::string host;           // camera address or name
  unsigned video_input = 1;   // channel number + 1
  int stream_kind = kRTSPStreamH264;
  unsigned client_rtp_port = 0;   // SETUP only
  unsigned client_rtcp_port = 0;  // SETUP only
  std::string session_id;         // PLAY, PAUSE, TEARDOWN, OPTIONS: as the camera sent it
};

// The request text of type with the given CSeq, or empty when type is not 1 to 6 or the stream
// kind is not 1 to 3. The host and session id go in up to a NUL, if they hold one.
std::string FormatRTSPRequest(int type, const RTSPRequestArgs& args, unsigned cseq);

// As FormatRTSPRequest with cseq.Next(); an empty text leaves the counter untouched.
std::string BuildRTSPRequest(int type, const RTSPRequestArgs& args, CRTSPCSeqCounter& cseq);

}  // namespace kalmora
