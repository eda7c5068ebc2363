#include "streaming/rtsp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kalmora {

namespace {

constexpr int kConnectStepMs = 100;
constexpr std::size_t kReceiveChunk = 4096;

bool SetBlocking(int socket, bool blocking) {
  const int flags = fcntl(socket, F_GETFL, 0);
  if (flags < 0) return false;
  return fcntl(socket, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK)) == 0;
}

bool ResolveIPv4(const std::string& host, sockaddr_in& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  out = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  freeaddrinfo(found);
  out.sin_port = htons(kRTSPServerPort);
  return true;
}

}  // namespace

CBaseRTSPClient::CBaseRTSPClient() = default;

CBaseRTSPClient::~CBaseRTSPClient() { Disconnect(); }

bool CBaseRTSPClient::Connect(std::uint32_t timeout_ms, int rtp_port, int rtcp_port, const std::string& host,
                              const std::string& user, const std::string& password) {
  if (connected_) return true;
  if (aborted_.load()) return false;
  host_ = host;
  user_ = user;
  password_ = password;
  client_rtp_port_ = rtp_port;
  client_rtcp_port_ = rtcp_port;

  const int created = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (created < 0) return false;
  {
    std::lock_guard<std::mutex> guard(socket_lock_);
    socket_ = created;
  }
  const int buffer = kReceiveBufferBytes;
  // Replies are waited for with poll against their deadline; the socket time-outs are a second
  // bound, the send one for a camera that stops reading its connection.
  timeval io_timeout{kReceiveTimeoutMs / 1000, (kReceiveTimeoutMs % 1000) * 1000};
  sockaddr_in address{};
  if (setsockopt(created, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer) != 0 ||
      setsockopt(created, SOL_SOCKET, SO_RCVTIMEO, &io_timeout, sizeof io_timeout) != 0 ||
      setsockopt(created, SOL_SOCKET, SO_SNDTIMEO, &io_timeout, sizeof io_timeout) != 0 ||
      !ResolveIPv4(host, address) || !SetBlocking(created, false)) {
    CloseSocket();
    return false;
  }

  if (connect(created, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS && errno != EWOULDBLOCK) {
      CloseSocket();
      return false;
    }
    bool done = false;
    const std::uint32_t attempts = timeout_ms / kConnectStepMs > 0 ? timeout_ms / kConnectStepMs : 1;
    for (std::uint32_t attempt = 0; attempt < attempts && !done && !aborted_.load(); ++attempt) {
      pollfd wanted{created, POLLOUT, 0};
      if (poll(&wanted, 1, kConnectStepMs) > 0) done = true;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (!done || aborted_.load() || getsockopt(created, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      CloseSocket();
      return false;
    }
  }
  if (!SetBlocking(created, true)) {
    CloseSocket();
    return false;
  }
  connected_ = true;
  failed_ = false;
  return true;
}

void CBaseRTSPClient::CloseSocket() {
  std::lock_guard<std::mutex> guard(socket_lock_);
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
}

void CBaseRTSPClient::Disconnect() {
  if (!connected_ && socket_ < 0) return;
  connected_ = false;
  failed_ = false;
  CloseSocket();
  pending_.clear();
  parser_.Reset();
  parser_mid_reply_ = false;
  unread_replies_ = 0;
}

void CBaseRTSPClient::Abort() {
  aborted_.store(true);
  std::lock_guard<std::mutex> guard(socket_lock_);
  if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
}

std::uint32_t CBaseRTSPClient::GetSessionTimeoutMs() const {
  const int seconds = session_timeout_s_ > 0 ? session_timeout_s_ : 60;
  return static_cast<std::uint32_t>(seconds) * 1000u;
}

bool CBaseRTSPClient::SendRequest(int type) {
  if (!connected_ || failed_ || aborted_.load()) return false;
  DiscardAvailableReplies();
  if (failed_) return false;
  const std::string text = BuildRequest(type);
  if (text.empty()) return false;
  const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReceiveTimeoutMs);
  const ssize_t sent = send(socket_, text.data(), text.size(), MSG_NOSIGNAL);
  if (sent < 0 || static_cast<std::size_t>(sent) != text.size()) {
    failed_ = true;
    return false;
  }
  if (type == kRTSPPause || type == kRTSPOptions) {
    ++unread_replies_;
    return true;
  }
  return ReadResponseBy(deadline);
}

bool CBaseRTSPClient::ReadResponse() {
  return ReadResponseBy(std::chrono::steady_clock::now() + std::chrono::milliseconds(kReceiveTimeoutMs));
}

bool CBaseRTSPClient::ReadResponseBy(Deadline deadline) {
  if (!connected_ || failed_ || aborted_.load()) return false;
  while (unread_replies_ > 0) {
    if (!ReadOneReply(CRTSPResponseParser::Mode::kSkip, &deadline)) return false;
    --unread_replies_;
  }
  return ReadOneReply(CRTSPResponseParser::Mode::kCheck, &deadline);
}

void CBaseRTSPClient::DiscardAvailableReplies() {
  while (unread_replies_ > 0 && ReadOneReply(CRTSPResponseParser::Mode::kSkip, nullptr)) --unread_replies_;
}

CBaseRTSPClient::Receive CBaseRTSPClient::ReceiveSome(const Deadline* deadline) {
  if (deadline != nullptr) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Receive::kTimeout;
    pollfd wanted{socket_, POLLIN, 0};
    const int ready = poll(&wanted, 1, static_cast<int>(left.count()));
    if (ready == 0) return Receive::kTimeout;
    if (ready < 0) return errno == EINTR ? Receive::kData : Receive::kFailed;
  }
  char buffer[kReceiveChunk];
  const ssize_t received = recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
  if (received > 0) {
    pending_.append(buffer, static_cast<std::size_t>(received));
    return Receive::kData;
  }
  if (received == 0) return Receive::kClosed;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return Receive::kTimeout;
  if (errno == EINTR) return Receive::kData;
  return Receive::kFailed;
}

bool CBaseRTSPClient::ReadOneReply(CRTSPResponseParser::Mode mode, const Deadline* deadline) {
  // A reply being skipped may have been cut between two non-blocking reads; it goes on where it
  // stopped, in the mode it started in.
  if (!parser_mid_reply_) {
    parser_.Reset();
    parser_.SetMode(mode);
    parser_mode_ = mode;
    parser_mid_reply_ = true;
  }
  for (;;) {
    if (aborted_.load()) break;
    if (!pending_.empty()) {
      const RTSPFeedResult fed = parser_.Feed(pending_);
      pending_.erase(0, fed.consumed);
      if (fed.status != RTSPParseStatus::kNeedMore) break;
    }
    const Receive received = ReceiveSome(deadline);
    if (received == Receive::kData) continue;
    if (received == Receive::kClosed) {
      parser_.FeedEnd();
      break;
    }
    // Nothing more has arrived: a read that does not wait leaves the partial reply for later.
    if (received == Receive::kTimeout && deadline == nullptr) return false;
    break;
  }
  parser_mid_reply_ = false;
  if (aborted_.load() || parser_.Status() != RTSPParseStatus::kComplete) {
    failed_ = true;
    return false;
  }
  Remember(parser_.Reply(), parser_mode_ == CRTSPResponseParser::Mode::kCheck);
  return true;
}

void CBaseRTSPClient::Remember(const RTSPReply& reply, bool waited_for) {
  // Every reply's CSeq is followed, a skipped one's too: the camera numbers them all.
  if (reply.has_cseq) cseq_.Follow(reply.cseq);
  if (!waited_for) return;
  reply_ = reply;
  if (!reply.session_id.empty()) {
    session_id_ = reply.session_id;
    if (reply.session_timeout_s > 0) session_timeout_s_ = reply.session_timeout_s;
  }
}

std::string COrvaneRTSPClient::BuildRequest(int type) {
  RTSPRequestArgs args;
  args.host = host();
  args.video_input = input_;
  args.stream_kind = stream_kind_;
  args.client_rtp_port = static_cast<unsigned>(client_rtp_port());
  args.client_rtcp_port = static_cast<unsigned>(client_rtcp_port());
  args.session_id = session_id();
  return BuildRTSPRequest(type, args, cseq());
}

}  // namespace kalmora
