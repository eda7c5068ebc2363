// The RTSP server's answers to each method.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

#include "camsim/rtsp_server.h"

namespace camsim {
namespace {

constexpr std::array<std::string_view, 3> kStreams = {"h264", "mjpeg", "mpeg4"};
constexpr const char* kServerName = "camsim RTSP server";
constexpr const char* kPublicMethods = "OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER";
constexpr unsigned kFamilyIdMin = 10'000'000;
constexpr unsigned kFamilyIdSpan = 90'000'000;
constexpr int kStandardIdHexDigits = 14;

std::optional<std::uint16_t> ParsePort(std::string_view text) {
  unsigned value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr == text.data() || value == 0 || value > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

struct ClientPorts {
  std::uint16_t rtp = 0;
  std::uint16_t rtcp = 0;
};

// "RTP/AVP;unicast;client_port=A-B": UDP unicast with the client's port pair (B defaults to A+1).
std::optional<ClientPorts> ParseTransport(std::string_view transport) {
  // Only the first of several offered transports is looked at.
  transport = transport.substr(0, transport.find(','));
  if (!transport.starts_with("RTP/AVP") || transport.starts_with("RTP/AVP/TCP") ||
      transport.find("multicast") != std::string_view::npos) {
    return std::nullopt;
  }
  constexpr std::string_view kClientPort = "client_port=";
  const std::size_t at = transport.find(kClientPort);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view ports = transport.substr(at + kClientPort.size());
  ports = ports.substr(0, ports.find(';'));
  const std::size_t dash = ports.find('-');
  const std::optional<std::uint16_t> rtp = ParsePort(ports.substr(0, dash));
  if (!rtp) return std::nullopt;
  ClientPorts result{*rtp, static_cast<std::uint16_t>(*rtp + 1)};
  if (dash != std::string_view::npos) {
    const std::optional<std::uint16_t> rtcp = ParsePort(ports.substr(dash + 1));
    if (!rtcp) return std::nullopt;
    result.rtcp = *rtcp;
  }
  return result;
}

std::string SessionIdOf(std::string_view header) {
  header = header.substr(0, header.find(';'));
  while (!header.empty() && header.back() == ' ') header.remove_suffix(1);
  return std::string(header);
}

// "rtsp://HOST/VideoInput/N/h264/1", the presentation URL of a parsed stream URL.
std::string PresentationUrl(const StreamUrl& url) {
  return "rtsp://" + url.host + "/VideoInput/" + std::to_string(url.input) + "/" + url.stream +
         "/1";
}

}  // namespace

RtspReply RtspServer::Answer(const RtspRequest& request, const Connection& connection) {
  RtspReply reply;
  if (const std::optional<std::string> cseq = request.Header("CSeq")) reply.Add("CSeq", *cseq);
  reply.Add("Date", RtspDate());
  if (settings_.dialect == RtspDialect::kStandard) {
    reply.Add("Server", kServerName);
    reply.Add("Cache-Control", "no-cache");
  }
  if (request.version != "RTSP/1.0") {
    reply.status = 505;
    return reply;
  }
  const std::string& method = request.method;
  if (method == "OPTIONS" || method == "GET_PARAMETER") return KeepAlive(request, std::move(reply));
  if (method == "DESCRIBE") return Describe(request, std::move(reply));
  if (method == "SETUP") return Setup(request, connection, std::move(reply));
  if (method == "PLAY") return Play(request, std::move(reply));
  if (method == "TEARDOWN") return Teardown(request, std::move(reply));
  reply.status = 501;
  return reply;
}

int RtspServer::CheckUrl(const std::optional<StreamUrl>& url, bool track) const {
  if (!url || url->track != track || url->input < 1 || url->input > video_inputs_) return 404;
  if (std::find(kStreams.begin(), kStreams.end(), url->stream) == kStreams.end()) return 404;
  // A stream of the camera's that this simulator was started without.
  return sources_.Find(url->stream) ? 200 : 415;
}

std::string RtspServer::Sdp(const MediaSource& source) const {
  return "v=0\r\n"
         "o=- " + sdp_session_id_ + " 1 IN IP4 " + address_ + "\r\n"
         "s=" + source.SdpSessionName() + "\r\n"
         "c=IN IP4 0.0.0.0\r\n"
         "t=0 0\r\n"
         "a=range:npt=0-\r\n" +
         source.SdpMedia() +
         "a=control:trackID=1\r\n";
}

std::string RtspServer::SessionHeader(const std::string& id, bool setup) const {
  if (!settings_.announce_timeout || (settings_.timeout_in_setup_only && !setup)) return id;
  return id + ";timeout=" + std::to_string(settings_.session_timeout_s);
}

std::shared_ptr<MediaSession> RtspServer::TouchSession(const RtspRequest& request) {
  const std::optional<std::string> header = request.Header("Session");
  if (!header) return nullptr;
  std::lock_guard lock(mutex_);
  const auto found = sessions_.find(SessionIdOf(*header));
  if (found == sessions_.end()) return nullptr;
  found->second.last_request = std::chrono::steady_clock::now();
  return found->second.media;
}

std::string RtspServer::NewSessionIdLocked() {
  while (true) {
    std::string id;
    if (settings_.dialect == RtspDialect::kFamily) {
      id = std::to_string(kFamilyIdMin + random_() % kFamilyIdSpan);
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      id = "00";
      for (int i = 0; i < kStandardIdHexDigits; ++i) id += kHex[random_() % 16];
    }
    if (!sessions_.contains(id)) return id;
  }
}

RtspReply RtspServer::KeepAlive(const RtspRequest& request, RtspReply reply) {
  if (request.Header("Session")) {
    const std::shared_ptr<MediaSession> session = TouchSession(request);
    if (!session) {
      reply.status = 454;
      return reply;
    }
    reply.Add("Session", SessionHeader(session->id()));
  }
  if (settings_.dialect == RtspDialect::kStandard && request.method == "OPTIONS") {
    reply.Add("Public", kPublicMethods);
  }
  return reply;
}

RtspReply RtspServer::Describe(const RtspRequest& request, RtspReply reply) {
  const std::optional<StreamUrl> url = ParseStreamUrl(request.url);
  reply.status = CheckUrl(url, false);
  if (reply.status != 200) return reply;
  reply.Add("Content-Base", PresentationUrl(*url) + "/");
  reply.Add("Content-Type", "application/sdp");
  if (settings_.dialect == RtspDialect::kStandard) reply.Add("Expires", RtspDate());
  reply.body = Sdp(*sources_.Find(url->stream));
  return reply;
}

RtspReply RtspServer::Setup(const RtspRequest& request, const Connection& connection,
                            RtspReply reply) {
  const std::optional<StreamUrl> url = ParseStreamUrl(request.url);
  reply.status = CheckUrl(url, true);
  if (reply.status != 200) return reply;
  if (request.Header("Session")) {
    // One track only: a second SETUP on a session has nothing to add.
    reply.status = TouchSession(request) ? 459 : 454;
    return reply;
  }
  const std::optional<ClientPorts> ports = ParseTransport(request.Header("Transport").value_or(""));
  if (!ports) {
    reply.status = 461;
    return reply;
  }
  std::string id;
  {
    std::lock_guard lock(mutex_);
    id = NewSessionIdLocked();
  }
  MediaOptions options;
  options.cname = "camsim@" + address_;
  auto media =
      std::make_shared<MediaSession>(id, sources_.Find(url->stream), options, recorder_, faults_);
  if (!media->Open(address_, connection.peer, ports->rtp, ports->rtcp, nullptr)) {
    reply.status = 500;
    return reply;
  }
  {
    std::lock_guard lock(mutex_);
    // A restart or Stop that began meanwhile drops the session rather than leave it behind.
    if (stopping_ || connection.closing) {
      reply.status = 503;
      return reply;
    }
    sessions_[id] = Session{media, std::chrono::steady_clock::now()};
  }
  recorder_.Count(&RtspCounters::sessions_created);
  std::string transport = "RTP/AVP;unicast;client_port=" + std::to_string(ports->rtp) + "-" +
                          std::to_string(ports->rtcp) +
                          ";server_port=" + std::to_string(media->server_rtp_port()) + "-" +
                          std::to_string(media->server_rtcp_port());
  if (settings_.dialect == RtspDialect::kStandard) {
    char ssrc[9];
    std::snprintf(ssrc, sizeof(ssrc), "%08X", media->ssrc());
    transport += ";source=" + address_ + ";ssrc=" + ssrc + ";mode=\"PLAY\"";
  }
  reply.Add("Transport", transport);
  reply.Add("Session", SessionHeader(id, true));
  return reply;
}

RtspReply RtspServer::Play(const RtspRequest& request, RtspReply reply) {
  const std::optional<StreamUrl> url = ParseStreamUrl(request.url);
  const int status = CheckUrl(url, url && url->track);
  if (status != 200) {
    reply.status = status;
    return reply;
  }
  const std::shared_ptr<MediaSession> session = TouchSession(request);
  if (!session) {
    reply.status = 454;
    return reply;
  }
  if (!session->Play()) {
    reply.status = 454;  // it ended while this request was on its way
    return reply;
  }
  reply.Add("Session", SessionHeader(session->id()));
  reply.Add("Range", "npt=0.000-");
  reply.Add("RTP-Info", "url=" + PresentationUrl(*url) + "/trackID=1;seq=" +
                            std::to_string(session->first_sequence()) +
                            ";rtptime=" + std::to_string(session->first_time_stamp()));
  return reply;
}

RtspReply RtspServer::Teardown(const RtspRequest& request, RtspReply reply) {
  const std::optional<std::string> header = request.Header("Session");
  std::shared_ptr<MediaSession> session;
  if (header) {
    std::lock_guard lock(mutex_);
    const auto found = sessions_.find(SessionIdOf(*header));
    if (found != sessions_.end()) {
      session = found->second.media;
      sessions_.erase(found);
    }
  }
  if (!session) {
    reply.status = 454;
    return reply;
  }
  session->Stop();
  recorder_.Count(&RtspCounters::sessions_torn_down);
  return reply;
}

}  // namespace camsim
