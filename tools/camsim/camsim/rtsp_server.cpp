#include "camsim/rtsp_server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace camsim {
namespace {

using std::chrono::steady_clock;

constexpr int kListenBacklog = 16;
// How often the listener thread looks at session time-outs and ended connections.
constexpr int kHousekeepingMs = 100;
// Granularity of waits inside a reply, for noticing a client that went away.
constexpr std::chrono::milliseconds kWaitSlice{20};
constexpr std::chrono::milliseconds kRelistenRetry{100};
// The standard dialect's pause between a DESCRIBE reply's headers and its body.
constexpr std::chrono::milliseconds kSegmentPause{100};
constexpr std::size_t kReceiveChunk = 4096;

bool PeerGone(int socket) {
  pollfd entry{socket, POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

RtspServer::RtspServer(RtspRecorder& recorder, MediaFaultSet& faults)
    : recorder_(recorder), faults_(faults), random_(std::random_device{}()) {}

RtspServer::~RtspServer() { Stop(); }

std::shared_ptr<const MediaSource> MediaSources::Find(std::string_view stream) const {
  if (stream == "h264") return h264;
  if (stream == "mjpeg") return mjpeg;
  if (stream == "mpeg4") return mpeg4;
  return nullptr;
}

bool RtspServer::Start(const std::string& address, const RtspSettings& settings,
                       MediaSources sources, unsigned video_inputs, std::string* error) {
  if (running()) {
    if (error) *error = "RTSP already running";
    return false;
  }
  address_ = address;
  settings_ = settings;
  sources_ = std::move(sources);
  video_inputs_ = std::max(1u, video_inputs);
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
    restart_until_.reset();
    restart_pending_ = false;
    sdp_session_id_ = std::to_string(random_() % 1'000'000'000 + 1);
  }
  port_ = Listen(settings.port, error);
  if (port_ == 0) return false;
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    if (error) *error = std::string("eventfd: ") + std::strerror(errno);
    ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  listener_ = std::thread([this] { ListenLoop(); });
  running_ = true;
  return true;
}

void RtspServer::Stop() {
  if (!listener_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  Wake();
  listener_.join();
  ::close(wake_fd_);
  wake_fd_ = -1;
  running_ = false;
}

void RtspServer::Restart(std::chrono::milliseconds down) {
  {
    std::lock_guard lock(mutex_);
    const auto until = steady_clock::now() + down;
    restart_until_ = restart_until_ ? std::max(*restart_until_, until) : until;
    restart_pending_ = true;
  }
  changed_.notify_all();
  Wake();
}

bool RtspServer::down() const {
  std::lock_guard lock(mutex_);
  return restart_until_.has_value();
}

std::vector<std::string> RtspServer::SessionIds() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> ids;
  for (const auto& [id, session] : sessions_) ids.push_back(id);
  return ids;
}

void RtspServer::Wake() {
  if (wake_fd_ < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof(one));
}

std::uint16_t RtspServer::Listen(std::uint16_t port, std::string* error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  const int one = 1;
  auto fail = [&](const std::string& what) -> std::uint16_t {
    if (error) *error = what + " " + address_ + ":" + std::to_string(port) + ": " +
                        std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return 0;
  };
  if (fd < 0) return fail("cannot create the RTSP socket for");
  if (::inet_pton(AF_INET, address_.c_str(), &local.sin_addr) != 1) {
    errno = EINVAL;
    return fail("not an IPv4 address:");
  }
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    return fail("cannot listen for RTSP on");
  }
  if (::listen(fd, kListenBacklog) != 0) return fail("cannot listen for RTSP on");
  socklen_t size = sizeof(local);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    return fail("cannot read the RTSP port of");
  }
  listen_fd_ = fd;
  return ntohs(local.sin_port);
}

void RtspServer::ListenLoop() {
  while (true) {
    bool restart = false;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
      restart = restart_pending_;
      restart_pending_ = false;
    }
    if (restart) {
      ::close(listen_fd_);
      listen_fd_ = -1;
      recorder_.Count(&RtspCounters::restarts);
      DropAll();
      std::unique_lock lock(mutex_);
      // Away until the (possibly extended) restart time, then listening again on the same port.
      while (!stopping_) {
        const auto now = steady_clock::now();
        if (restart_until_ && now < *restart_until_) {
          changed_.wait_until(lock, *restart_until_);
          continue;
        }
        lock.unlock();
        const bool listening = Listen(port_, nullptr) != 0;
        lock.lock();
        if (listening) break;
        changed_.wait_for(lock, kRelistenRetry, [this] { return stopping_; });
      }
      restart_until_.reset();
      restart_pending_ = false;
      continue;
    }
    pollfd entries[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const int ready = ::poll(entries, 2, kHousekeepingMs);
    if (ready > 0 && (entries[1].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(wake_fd_, &count, sizeof(count));
    }
    if (ready > 0 && (entries[0].revents & POLLIN) != 0) Accept();
    ReapConnections();
    ExpireSessions();
  }
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
  DropAll();
}

void RtspServer::Accept() {
  sockaddr_in peer{};
  socklen_t size = sizeof(peer);
  const int fd =
      ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
  if (fd < 0) return;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  auto connection = std::make_unique<Connection>();
  connection->socket = fd;
  connection->peer = peer.sin_addr;
  Connection* raw = connection.get();
  {
    std::lock_guard lock(mutex_);
    connection->id = next_connection_id_++;
    connections_.push_back(std::move(connection));
  }
  recorder_.Count(&RtspCounters::connections_accepted);
  // The thread is started after the connection is in the list, and only the listener thread
  // joins and removes it, so raw stays valid for the thread's life.
  raw->thread = std::thread([this, raw] { Serve(*raw); });
}

void RtspServer::ReapConnections() {
  std::list<std::unique_ptr<Connection>> ended;
  {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->done) {
        ended.push_back(std::move(*it));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const std::unique_ptr<Connection>& connection : ended) {
    connection->thread.join();
    ::close(connection->socket);
  }
}

void RtspServer::DropAll() {
  std::list<std::unique_ptr<Connection>> dropped;
  std::map<std::string, Session> sessions;
  {
    std::lock_guard lock(mutex_);
    for (const std::unique_ptr<Connection>& connection : connections_) {
      connection->closing = true;
      ::shutdown(connection->socket, SHUT_RDWR);
    }
    dropped.swap(connections_);
  }
  changed_.notify_all();
  for (const std::unique_ptr<Connection>& connection : dropped) {
    if (connection->thread.joinable()) connection->thread.join();
    ::close(connection->socket);
  }
  {
    // Taken after the connection threads ended, so that none can add a session afterwards.
    std::lock_guard lock(mutex_);
    sessions.swap(sessions_);
  }
  for (auto& [id, session] : sessions) session.media->Stop();
  if (!sessions.empty()) recorder_.Count(&RtspCounters::sessions_dropped, sessions.size());
}

void RtspServer::ExpireSessions() {
  if (settings_.session_timeout_s <= 0) return;
  const auto timeout = std::chrono::seconds(settings_.session_timeout_s);
  std::vector<std::shared_ptr<MediaSession>> expired;
  {
    std::lock_guard lock(mutex_);
    const auto now = steady_clock::now();
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (now - it->second.last_request > timeout) {
        expired.push_back(it->second.media);
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const std::shared_ptr<MediaSession>& media : expired) media->Stop();
  if (!expired.empty()) recorder_.Count(&RtspCounters::sessions_expired, expired.size());
}

bool RtspServer::Wait(const Connection& connection, std::chrono::milliseconds duration) {
  const auto deadline = steady_clock::now() + duration;
  std::unique_lock lock(mutex_);
  while (!stopping_ && !connection.closing) {
    const auto now = steady_clock::now();
    if (now >= deadline) return true;
    changed_.wait_for(lock, std::min<steady_clock::duration>(deadline - now, kWaitSlice),
                      [&] { return stopping_ || connection.closing; });
    if (PeerGone(connection.socket)) return false;
  }
  return false;
}

bool RtspServer::Send(const Connection& connection, const std::string& bytes) const {
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    const ssize_t sent =
        ::send(connection.socket, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    offset += static_cast<std::size_t>(sent);
  }
  return true;
}

void RtspServer::Serve(Connection& connection) {
  std::string buffer;
  char chunk[kReceiveChunk];
  bool open = true;
  while (open) {
    RtspRequest request;
    const RtspParse parse = TakeRtspRequest(buffer, request);
    if (parse == RtspParse::kMalformed) {
      RtspReply reply;
      reply.status = 400;
      Send(connection, reply.Head());
      break;
    }
    if (parse == RtspParse::kIncomplete) {
      const ssize_t received = ::recv(connection.socket, chunk, sizeof(chunk), 0);
      if (received < 0 && errno == EINTR) continue;
      if (received <= 0) break;
      buffer.append(chunk, static_cast<std::size_t>(received));
      continue;
    }
    RtspRequestRecord record;
    record.connection_id = connection.id;
    record.method = request.method;
    record.url = request.url;
    record.cseq = request.CSeq();
    record.session = request.Header("Session").value_or("");
    record.received = std::chrono::system_clock::now();
    record.text = request.text;
    recorder_.AddRequest(std::move(record));

    const int stall_ms = faults_.TakeReplyStall(request.method);
    if (stall_ms > 0 && !Wait(connection, std::chrono::milliseconds(stall_ms))) break;
    const RtspReply reply = Answer(request, connection);
    const std::string head = reply.Head();
    if (settings_.dialect == RtspDialect::kStandard && !reply.body.empty()) {
      // Headers and body in separate segments, as some servers write them: TCP_NODELAY is set,
      // so each send leaves at once.
      open = Send(connection, head) && Wait(connection, kSegmentPause) &&
             Send(connection, reply.body);
    } else {
      open = Send(connection, head + reply.body);
    }
  }
  recorder_.Count(&RtspCounters::connections_closed);
  std::lock_guard lock(mutex_);
  connection.done = true;
}

}  // namespace camsim
