#include "streaming/rtsp_response_parser.h"

#include <algorithm>
#include <array>
#include <climits>

namespace kalmora {
namespace {

constexpr std::size_t kNpos = std::string_view::npos;
constexpr int kStatusOk = 200;
constexpr std::size_t kBodyReserve = 4096;

struct HeaderName {
  std::string_view name;
  RTSPHeaderKind kind;
};

// Tried in this order on the start of the line, without regard to case; the first match decides.
constexpr std::array<HeaderName, 11> kHeaderNames = {{
    {"CSeq", kRTSPHeaderCSeq},
    {"Date", kRTSPHeaderDate},
    {"Content-Base", kRTSPHeaderContentBase},
    {"Content-Type", kRTSPHeaderContentType},
    {"Content-Length", kRTSPHeaderContentLength},
    {"Transport", kRTSPHeaderTransport},
    {"Session", kRTSPHeaderSession},
    {"Range", kRTSPHeaderRange},
    {"RTP-Info", kRTSPHeaderRTPInfo},
    {"Server", kRTSPHeaderServer},
    {"Accept-Ranges", kRTSPHeaderAcceptRanges},
}};

constexpr std::string_view kClientPort = "client_port=";
constexpr std::string_view kServerPort = "server_port=";
constexpr std::string_view kTimeout = "timeout";
constexpr std::string_view kSsrc = "ssrc=";

// The white space that ends a word in a header value, as the C library counts it.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  }
  return true;
}

// Reads a text front to back; every read checks the length left first.
class CScanner {
 public:
  explicit CScanner(std::string_view text) : text_(text) {}

  std::string_view Rest() const { return text_.substr(at_); }

  void SkipSpace() {
    while (at_ < text_.size() && IsSpace(text_[at_])) ++at_;
  }

  bool Literal(std::string_view literal) {
    if (text_.substr(at_, literal.size()) != literal) return false;
    at_ += literal.size();
    return true;
  }

  // ";" name "=", with optional space around each part and the name in any case.
  bool Parameter(std::string_view name) {
    SkipSpace();
    if (!Literal(";")) return false;
    SkipSpace();
    if (!StartsWithNoCase(Rest(), name)) return false;
    at_ += name.size();
    SkipSpace();
    return Literal("=");
  }

  // A run of non-space characters after optional space, of 1 to max_size characters.
  bool Word(std::size_t max_size, std::string& out) {
    SkipSpace();
    const std::size_t begin = at_;
    while (at_ < text_.size() && !IsSpace(text_[at_])) ++at_;
    const std::size_t size = at_ - begin;
    if (size == 0 || size > max_size) return false;
    out.assign(text_.substr(begin, size));
    return true;
  }

  // A decimal integer after optional space, with an optional sign; one that does not fit fails.
  bool Int(int& out) {
    SkipSpace();
    bool negative = false;
    if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) {
      negative = text_[at_] == '-';
      ++at_;
    }
    unsigned long long magnitude = 0;
    const unsigned long long limit =
        negative ? static_cast<unsigned long long>(INT_MAX) + 1 : INT_MAX;
    if (!Digits(limit, magnitude)) return false;
    out = negative ? static_cast<int>(-static_cast<long long>(magnitude))
                   : static_cast<int>(magnitude);
    return true;
  }

  // An unsigned decimal after optional space. A CSeq is 1*DIGIT (RFC 2326 section 12.17), so a
  // minus sign fails instead of wrapping round to a huge counter.
  bool Unsigned(unsigned& out) {
    SkipSpace();
    if (at_ < text_.size() && text_[at_] == '+') ++at_;
    unsigned long long value = 0;
    if (!Digits(UINT_MAX, value)) return false;
    out = static_cast<unsigned>(value);
    return true;
  }

 private:
  bool Digits(unsigned long long limit, unsigned long long& value) {
    const std::size_t begin = at_;
    value = 0;
    while (at_ < text_.size() && IsDigit(text_[at_])) {
      value = value * 10 + static_cast<unsigned>(text_[at_] - '0');
      if (value > limit) return false;
      ++at_;
    }
    return at_ > begin;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

// A scanner positioned after "Name:" and the space that follows, or false when the line does not
// go on with the colon. The name was matched without regard to case (RFC 2326 section 4.2), so
// it is passed over the same way.
bool AfterColon(std::string_view line, std::string_view name, CScanner& scanner) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  scanner = CScanner(line.substr(name.size() + 1));
  scanner.SkipSpace();
  return true;
}

// "<key>%d-%d" anywhere in text, as in client_port=3556-3557 (RFC 2326 section 12.39).
bool PortPair(std::string_view text, std::string_view key, int& first, int& second) {
  const std::size_t at = text.find(key);
  if (at == kNpos) return false;
  CScanner scanner(text.substr(at + key.size()));
  int rtp = 0;
  int rtcp = 0;
  if (!scanner.Int(rtp) || !scanner.Literal("-") || !scanner.Int(rtcp)) return false;
  first = rtp;
  second = rtcp;
  return true;
}

bool ParseTransport(CScanner scanner, RTSPReply& reply) {
  // The parameters are searched in the whole value: some cameras put spaces after the ";".
  const std::string_view value = scanner.Rest();
  std::string word;
  if (!scanner.Word(CRTSPResponseParser::kMaxFieldLength, word)) return false;
  int client_rtp = 0;
  int client_rtcp = 0;
  int server_rtp = 0;
  int server_rtcp = 0;
  if (!PortPair(value, kClientPort, client_rtp, client_rtcp) ||
      !PortPair(value, kServerPort, server_rtp, server_rtcp)) {
    return false;
  }
  // "ssrc=" 8*HEX (RFC 2326 section 12.39): the source the camera will send from, when it says.
  const std::size_t ssrc_at = value.find(kSsrc);
  if (ssrc_at != kNpos) {
    std::uint32_t ssrc = 0;
    std::size_t digits = 0;
    for (std::size_t i = ssrc_at + kSsrc.size(); i < value.size() && digits < 9; ++i, ++digits) {
      const char c = Lower(value[i]);
      const int nibble = IsDigit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
      if (nibble < 0) break;
      ssrc = (ssrc << 4) | static_cast<std::uint32_t>(nibble);
    }
    // One to eight hex digits; anything else names no source, and the media decides.
    reply.has_ssrc = digits >= 1 && digits <= 8;
    reply.ssrc = reply.has_ssrc ? ssrc : 0;
  }
  reply.transport = std::move(word);
  reply.client_rtp_port = client_rtp;
  reply.client_rtcp_port = client_rtcp;
  reply.server_rtp_port = server_rtp;
  reply.server_rtcp_port = server_rtcp;
  return true;
}

// session-id [";timeout=" delta-seconds] (RFC 2326 section 12.37). The id is kept as sent: ids
// with leading zeros or letters must come back unchanged in the next request.
bool ParseSession(CScanner scanner, RTSPReply& reply) {
  const std::string_view rest = scanner.Rest();
  std::size_t size = 0;
  while (size < rest.size() && rest[size] != ';' && !IsSpace(rest[size])) {
    // The id goes back into request texts; a control byte has no place there.
    const auto byte = static_cast<unsigned char>(rest[size]);
    if (byte < 0x20 || byte == 0x7f) return false;
    ++size;
  }
  if (size == 0 || size > CRTSPResponseParser::kMaxFieldLength) return false;
  // A timeout that is missing, does not convert or is negative counts as none. One that is
  // announced is kept within 1 s and a day: keep-alives are sent at half of it, in milliseconds.
  int timeout = 0;
  CScanner after(rest.substr(size));
  if (!after.Parameter(kTimeout) || !after.Int(timeout) || timeout < 0) {
    timeout = 0;
  } else {
    timeout = std::clamp(timeout, CRTSPResponseParser::kMinSessionTimeoutS, CRTSPResponseParser::kMaxSessionTimeoutS);
  }
  reply.session_id.assign(rest.substr(0, size));
  reply.session_timeout_s = timeout;
  return true;
}

}  // namespace

CRTSPResponseParser::CRTSPResponseParser(Mode mode) : mode_(mode) {
  line_.reserve(kMaxLineLength);
}

void CRTSPResponseParser::Reset() {
  state_ = State::kStatusLine;
  status_ = RTSPParseStatus::kNeedMore;
  line_.clear();
  header_bytes_ = 0;
  header_lines_ = 0;
  reply_ = RTSPReply();
}

RTSPFeedResult CRTSPResponseParser::Feed(const char* data, std::size_t size) {
  RTSPFeedResult result;
  if (data == nullptr) size = 0;
  std::size_t at = 0;
  while (at < size && state_ != State::kDone) {
    if (state_ == State::kBody) {
      const auto length = static_cast<std::size_t>(reply_.content_length);
      const std::size_t taken = std::min(length - reply_.body.size(), size - at);
      reply_.body.append(data + at, taken);
      at += taken;
      if (reply_.body.size() == length) {
        state_ = State::kDone;
        status_ = RTSPParseStatus::kComplete;
      }
      continue;
    }
    if (++header_bytes_ > kMaxHeaderBytes) {
      Fail();
      break;
    }
    const char c = data[at++];
    if (c == '\n') {
      EndLine();
    } else if (c == '\r') {
      // Dropped wherever it stands; LF alone also ends a line.
    } else if (line_.size() < kMaxLineLength) {
      line_.push_back(c);
    } else {
      // The byte after a full line is lost and ends the line.
      EndLine();
    }
  }
  result.status = status_;
  result.consumed = at;
  return result;
}

RTSPParseStatus CRTSPResponseParser::FeedEnd() {
  if (state_ == State::kStatusLine || state_ == State::kHeaders) {
    if (!line_.empty()) EndLine();
    // A receive that finds the connection closed reads as an empty line.
    if (state_ == State::kHeaders) EndLine();
  }
  // No status line yet, or a body short of its length.
  if (state_ != State::kDone) Fail();
  return status_;
}

void CRTSPResponseParser::Fail() {
  state_ = State::kDone;
  status_ = RTSPParseStatus::kMalformed;
}

void CRTSPResponseParser::EndLine() {
  if (++header_lines_ > kMaxHeaderLines) {
    Fail();
    return;
  }
  // Field texts end at a NUL as they would in the camera's own C strings.
  std::string_view line(line_);
  line = line.substr(0, line.find('\0'));
  if (state_ == State::kStatusLine) {
    // Stray line ends between replies (after a body, say) are passed over.
    if (!line.empty()) {
      if (!ParseStatusLine(line) && mode_ == Mode::kCheck) {
        Fail();
      } else {
        state_ = State::kHeaders;
      }
    }
  } else {
    const RTSPHeaderKind kind = ParseHeaderLine(line);
    if (kind == kRTSPHeaderEnd) {
      EndHeaders();
    } else if (kind == kRTSPHeaderFailed) {
      // Without its length the end of the reply is unknown, even when skipping it.
      if (mode_ == Mode::kCheck || StartsWithNoCase(line, "Content-Length")) Fail();
    }
  }
  line_.clear();
}

void CRTSPResponseParser::EndHeaders() {
  if (reply_.content_length > 0) {
    // Reserved only up to a usual size: the length is the camera's word, not yet its bytes.
    reply_.body.reserve(std::min(static_cast<std::size_t>(reply_.content_length), kBodyReserve));
    state_ = State::kBody;
  } else {
    state_ = State::kDone;
    status_ = RTSPParseStatus::kComplete;
  }
}

bool CRTSPResponseParser::ParseStatusLine(std::string_view line) {
  // RTSP-Version SP Status-Code SP Reason-Phrase (RFC 2326 section 7.1), scanned as "%s %d %s".
  CScanner scanner(line);
  std::string protocol;
  int code = 0;
  std::string reason;
  if (!scanner.Word(kMaxWordLength, protocol) || !scanner.Int(code) ||
      !scanner.Word(kMaxWordLength, reason)) {
    return false;
  }
  reply_.protocol = std::move(protocol);
  reply_.status_code = code;
  reply_.reason = std::move(reason);
  return code == kStatusOk;
}

RTSPHeaderKind CRTSPResponseParser::ParseHeaderLine(std::string_view line) {
  if (line.empty()) return kRTSPHeaderEnd;
  const auto match = std::find_if(
      kHeaderNames.begin(), kHeaderNames.end(),
      [line](const HeaderName& header) { return StartsWithNoCase(line, header.name); });
  if (match == kHeaderNames.end()) return kRTSPHeaderOther;
  CScanner scanner{std::string_view()};
  switch (match->kind) {
    case kRTSPHeaderCSeq: {
      unsigned cseq = 0;
      if (!AfterColon(line, match->name, scanner) || !scanner.Unsigned(cseq)) break;
      reply_.cseq = cseq;
      reply_.has_cseq = true;
      return match->kind;
    }
    case kRTSPHeaderContentType: {
      std::string type;
      if (!AfterColon(line, match->name, scanner) || !scanner.Word(kMaxFieldLength, type)) break;
      reply_.content_type = std::move(type);
      return match->kind;
    }
    case kRTSPHeaderContentLength: {
      int length = 0;
      if (!AfterColon(line, match->name, scanner) || !scanner.Int(length) ||
          length > kMaxContentLength) {
        break;
      }
      // A negative length converts but announces no body.
      reply_.content_length = std::max(length, 0);
      return match->kind;
    }
    case kRTSPHeaderTransport:
      if (!AfterColon(line, match->name, scanner) || !ParseTransport(scanner, reply_)) break;
      return match->kind;
    case kRTSPHeaderSession:
      if (!AfterColon(line, match->name, scanner) || !ParseSession(scanner, reply_)) break;
      return match->kind;
    default:
      // Known, but the client needs nothing from it.
      return match->kind;
  }
  return kRTSPHeaderFailed;
}

}  // namespace kalmora
