// RTSP/1.0 requests as the server reads them and replies as it writes them (RFC 2326).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace camsim {

struct RtspRequest {
  std::string method;
  std::string url;
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed
  std::string body;
  std::string text;  // the request as received

  // The first header of that name (case-insensitive).
  std::optional<std::string> Header(std::string_view name) const;
  std::optional<unsigned> CSeq() const;
};

enum class RtspParse { kIncomplete, kComplete, kMalformed };

// A request larger than this is refused as malformed.
constexpr std::size_t kMaxRtspRequest = 64 * 1024;

// Takes one request from the front of buffer when it is complete (headers and a body of
// Content-Length bytes); kIncomplete leaves buffer as it is.
RtspParse TakeRtspRequest(std::string& buffer, RtspRequest& request);

struct RtspReply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  void Add(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
  }
  // Status line and headers, with Content-Length when there is a body, and the empty line.
  std::string Head() const;
};

std::string_view RtspReason(int status);

// "Tue, 08 Dec 2026 06:46:50 GMT", the current time.
std::string RtspDate();

// RFC 4648 base64, for sprop-parameter-sets.
std::string Base64(std::string_view bytes);

// The URL's parts the server routes by: rtsp://HOST[:PORT]/VideoInput/N/STREAM/1[/trackID=T].
struct StreamUrl {
  unsigned input = 0;
  std::string stream;  // "h264", "mjpeg", "mpeg4", ...
  std::string host;    // as written, port included
  bool track = false;  // ends in "/trackID=1"
};
// nullopt for a URL of another form (or another track).
std::optional<StreamUrl> ParseStreamUrl(std::string_view url);

}  // namespace camsim
