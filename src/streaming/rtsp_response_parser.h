// Incremental parser of the camera's RTSP replies (RFC 2326 section 7).
//
// The RTSP client feeds it the bytes of its control connection as they arrive, in pieces of any
// size; the parser cuts them into lines, reads the status line and the headers the client needs,
// then collects the body of Content-Length bytes. It never reads past the end of a reply, so
// bytes of a following reply that came in the same receive stay with the caller.
//
// Threads: belongs to one RTSP client and is used only on the channel thread that owns the
// client. No locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kalmora {

// Header kinds, in the order the names are tried.
enum RTSPHeaderKind : int {
  kRTSPHeaderFailed = 0,  // a known header that does not parse, or a failed status line
  kRTSPHeaderCSeq = 1,
  kRTSPHeaderDate = 2,
  kRTSPHeaderContentBase = 3,
  kRTSPHeaderContentType = 4,
  kRTSPHeaderContentLength = 5,
  kRTSPHeaderTransport = 6,
  kRTSPHeaderSession = 7,
  kRTSPHeaderRange = 8,
  kRTSPHeaderRTPInfo = 9,
  kRTSPHeaderEnd = 10,  // the empty line
  kRTSPHeaderServer = 11,
  kRTSPHeaderAcceptRanges = 12,
  kRTSPHeaderOther = 13,  // not one the client reads; ignored
};

enum class RTSPParseStatus {
  kNeedMore,   // every byte given was taken; the reply goes on
  kComplete,   // the reply ended, body included
  kMalformed,  // the reply cannot be used; the connection is to be closed
};

struct RTSPFeedResult {
  RTSPParseStatus status = RTSPParseStatus::kNeedMore;
  // Bytes taken from this Feed call. Less than given only when the reply ended (or failed)
  // inside them; the rest belongs to the next reply.
  std::size_t consumed = 0;
};

// What the client keeps of one reply.
struct RTSPReply {
  std::string protocol;  // "RTSP/1.0"
  int status_code = 0;
  std::string reason;  // first word of the reason phrase
  bool has_cseq = false;
  unsigned cseq = 0;
  std::string content_type;  // first word
  int content_length = 0;    // 0 also when the header is absent or not positive
  std::string transport;     // first word of the Transport header
  int client_rtp_port = 0;
  int client_rtcp_port = 0;
  int server_rtp_port = 0;
  int server_rtcp_port = 0;
  bool has_ssrc = false;        // the Transport header named the stream's source ("ssrc=")
  std::uint32_t ssrc = 0;
  std::string session_id;       // as the camera sent it; empty when there was no Session header
  // 1 to 86400 when the Session header announced a time-out; 0 when it announced none.
  int session_timeout_s = 0;
  std::string body;             // complete once Feed reports kComplete
};

class CRTSPResponseParser {
 public:
  // Longest line kept; a longer one is cut there, the byte after is lost and the remainder is
  // read as the next line.
  static constexpr std::size_t kMaxLineLength = 1022;
  // Longest protocol and reason word of the status line.
  static constexpr std::size_t kMaxWordLength = 14;
  // Longest content type, transport word and session id.
  static constexpr std::size_t kMaxFieldLength = 254;
  // Largest body accepted; a session description is a few hundred bytes.
  static constexpr int kMaxContentLength = 1 << 20;
  // Largest header section (status line, headers, line ends) and most lines in it: a camera that
  // sends header bytes without end gets a malformed reply instead of a reader that never stops.
  static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
  static constexpr std::size_t kMaxHeaderLines = 100;
  // Session time-outs are kept within these bounds (seconds).
  static constexpr int kMinSessionTimeoutS = 1;
  static constexpr int kMaxSessionTimeoutS = 86400;

  enum class Mode {
    // A reply the client waits for: its status must be 200 and every known header must parse.
    kCheck,
    // A reply to be thrown away (an OPTIONS keep-alive): only its end is found, so whatever its
    // status, the reply after it is read intact. Content-Length must still parse.
    kSkip,
  };

  explicit CRTSPResponseParser(Mode mode = Mode::kCheck);
  virtual ~CRTSPResponseParser() = default;

  // Forgets the reply; the next byte fed starts a new one. The mode stays.
  void Reset();
  void SetMode(Mode mode) { mode_ = mode; }

  // Takes bytes of the connection. Once the reply is complete or malformed, further calls take
  // nothing and repeat the status until Reset.
  RTSPFeedResult Feed(const char* data, std::size_t size);
  RTSPFeedResult Feed(std::string_view bytes) { return Feed(bytes.data(), bytes.size()); }
  // The camera closed the connection: a partial line counts as a line and the headers end there,
  // as they would at an empty line. A body still short of Content-Length is malformed.
  RTSPParseStatus FeedEnd();

  RTSPParseStatus Status() const { return status_; }
  const RTSPReply& Reply() const { return reply_; }

  // One line without its line end, into the reply. "%s %d %s" into protocol, code and reason;
  // true only when all three convert and the code is 200.
  bool ParseStatusLine(std::string_view line);
  // One header line without its line end, into the reply; the header kind, or
  // kRTSPHeaderFailed for a known header that does not parse.
  RTSPHeaderKind ParseHeaderLine(std::string_view line);

 private:
  enum class State { kStatusLine, kHeaders, kBody, kDone };

  // Acts on the line in line_; sets status_ when the reply ends or fails.
  void EndLine();
  void EndHeaders();
  // The reply cannot be used: done, malformed.
  void Fail();

  Mode mode_;
  State state_ = State::kStatusLine;
  RTSPParseStatus status_ = RTSPParseStatus::kNeedMore;
  std::string line_;
  std::size_t header_bytes_ = 0;  // of the header section so far, line ends included
  std::size_t header_lines_ = 0;
  RTSPReply reply_;
};

}  // namespace kalmora
