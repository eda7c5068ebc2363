#include "camsim/rtsp_message.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>

namespace camsim {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

template <typename Number>
std::optional<Number> ParseWhole(std::string_view text) {
  Number value{};
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> RtspRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

std::optional<unsigned> RtspRequest::CSeq() const {
  const std::optional<std::string> value = Header("CSeq");
  if (!value) return std::nullopt;
  return ParseWhole<unsigned>(*value);
}

RtspParse TakeRtspRequest(std::string& buffer, RtspRequest& request) {
  // Clients may send empty lines between requests.
  const std::size_t start = buffer.find_first_not_of("\r\n");
  if (start == std::string::npos) {
    buffer.clear();
    return RtspParse::kIncomplete;
  }
  std::size_t end_of_headers = buffer.find("\r\n\r\n", start);
  std::size_t separator = 4;
  const std::size_t bare = buffer.find("\n\n", start);
  if (bare != std::string::npos && (end_of_headers == std::string::npos || bare < end_of_headers)) {
    end_of_headers = bare;
    separator = 2;
  }
  if (end_of_headers == std::string::npos) {
    return buffer.size() > kMaxRtspRequest ? RtspParse::kMalformed : RtspParse::kIncomplete;
  }
  RtspRequest parsed;
  const std::string_view head(buffer.data() + start, end_of_headers - start);
  std::size_t line_start = 0;
  bool first = true;
  while (line_start <= head.size()) {
    std::size_t line_end = head.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = head.size();
    const std::string_view line = Trim(head.substr(line_start, line_end - line_start));
    line_start = line_end + 1;
    if (first) {
      first = false;
      const std::size_t space1 = line.find(' ');
      const std::size_t space2 = line.rfind(' ');
      if (space1 == std::string_view::npos || space2 == space1) return RtspParse::kMalformed;
      parsed.method = std::string(line.substr(0, space1));
      parsed.url = std::string(Trim(line.substr(space1 + 1, space2 - space1 - 1)));
      parsed.version = std::string(line.substr(space2 + 1));
      if (parsed.method.empty() || parsed.url.empty()) return RtspParse::kMalformed;
      continue;
    }
    if (line.empty()) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return RtspParse::kMalformed;
    parsed.headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                                std::string(Trim(line.substr(colon + 1))));
  }
  std::size_t body_length = 0;
  if (const std::optional<std::string> length = parsed.Header("Content-Length")) {
    const std::optional<std::size_t> value = ParseWhole<std::size_t>(*length);
    if (!value || *value > kMaxRtspRequest) return RtspParse::kMalformed;
    body_length = *value;
  }
  const std::size_t body_start = end_of_headers + separator;
  if (buffer.size() < body_start + body_length) {
    return body_start + body_length > kMaxRtspRequest + start ? RtspParse::kMalformed
                                                               : RtspParse::kIncomplete;
  }
  parsed.body = buffer.substr(body_start, body_length);
  parsed.text = buffer.substr(start, body_start + body_length - start);
  buffer.erase(0, body_start + body_length);
  request = std::move(parsed);
  return RtspParse::kComplete;
}

std::string RtspReply::Head() const {
  std::string head = "RTSP/1.0 " + std::to_string(status) + " " + std::string(RtspReason(status)) +
                     "\r\n";
  for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
  if (!body.empty()) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  head += "\r\n";
  return head;
}

std::string_view RtspReason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 415: return "Unsupported Media Type";
    case 454: return "Session Not Found";
    case 455: return "Method Not Valid in This State";
    case 459: return "Aggregate Operation Not Allowed";
    case 461: return "Unsupported Transport";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "RTSP Version Not Supported";
    default: return "Error";
  }
}

std::string RtspDate() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[64];
  const std::size_t size = std::strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return std::string(text, size);
}

std::string Base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned value = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text += kAlphabet[(value >> shift) & 0x3F];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    text += kAlphabet[(value >> 18) & 0x3F];
    text += kAlphabet[(value >> 12) & 0x3F];
    text += rest == 2 ? kAlphabet[(value >> 6) & 0x3F] : '=';
    text += '=';
  }
  return text;
}

std::optional<StreamUrl> ParseStreamUrl(std::string_view url) {
  constexpr std::string_view kScheme = "rtsp://";
  if (url.size() < kScheme.size() || !EqualsIgnoringCase(url.substr(0, kScheme.size()), kScheme)) {
    return std::nullopt;
  }
  url.remove_prefix(kScheme.size());
  const std::size_t slash = url.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  StreamUrl parsed;
  parsed.host = std::string(url.substr(0, slash));
  std::string_view path = url.substr(slash + 1);
  if (path.ends_with('/')) path.remove_suffix(1);
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t next = path.find('/');
    parts.push_back(path.substr(0, next));
    if (next == std::string_view::npos) break;
    path.remove_prefix(next + 1);
  }
  if (parts.size() == 5) {
    if (parts[4] != "trackID=1") return std::nullopt;
    parsed.track = true;
    parts.pop_back();
  }
  if (parts.size() != 4 || parts[0] != "VideoInput" || parts[3] != "1") return std::nullopt;
  const std::optional<unsigned> input = ParseWhole<unsigned>(parts[1]);
  if (!input) return std::nullopt;
  parsed.input = *input;
  parsed.stream = std::string(parts[2]);
  return parsed;
}

}  // namespace camsim
