// The simulator's life cycle, its parameter tree, request log, faults and settings.
#include "camsim/simulator.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "camsim/jpeg_picture.h"
#include "camsim/parameter_interface.h"
#include "camsim/rtsp_recorder.h"
#include "camsim/rtsp_server.h"
#include "camsim/simulator_internal.h"

namespace camsim {
namespace {

// An idle keep-alive connection is closed after this long, as a camera's web server does.
constexpr unsigned kIdleTimeoutSeconds = 30;
constexpr unsigned kMaxConnections = 64;
constexpr unsigned kDigestNonceSlots = 256;
// Granularity of waits, for noticing a peer that went away during a delay or stall.
constexpr std::chrono::milliseconds kWaitSlice{20};
constexpr int kDefaultJpegWidth = 640;
constexpr int kDefaultJpegHeight = 480;
constexpr int kDefaultJpegQuality = 75;

// The peer has closed or reset its end.
bool PeerGone(int socket) {
  if (socket < 0) return false;
  pollfd entry{socket, POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

std::string Escape(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '\r': escaped += "\\r"; break;
      case '\n': escaped += "\\n"; break;
      case '\t': escaped += "\\t"; break;
      case '\\': escaped += "\\\\"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string_view AuthModeName(AuthMode mode) {
  switch (mode) {
    case AuthMode::kNone: return "none";
    case AuthMode::kBasic: return "basic";
    case AuthMode::kDigest: return "digest";
  }
  return "none";
}

std::optional<AuthMode> ParseAuthMode(std::string_view name) {
  if (name == "none") return AuthMode::kNone;
  if (name == "basic") return AuthMode::kBasic;
  if (name == "digest") return AuthMode::kDigest;
  return std::nullopt;
}

std::string_view AuthUsedName(AuthUsed used) {
  switch (used) {
    case AuthUsed::kNone: return "none";
    case AuthUsed::kBasic: return "basic";
    case AuthUsed::kDigest: return "digest";
    case AuthUsed::kOther: return "other";
  }
  return "none";
}

Simulator::Simulator()
    : video_(EncodeTestPicture(kDefaultJpegWidth, kDefaultJpegHeight, kDefaultJpegQuality)),
      rtsp_recorder_(std::make_unique<RtspRecorder>()),
      media_faults_(std::make_unique<MediaFaultSet>()),
      rtsp_(std::make_unique<RtspServer>(*rtsp_recorder_, *media_faults_)) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::LoadProfileFile(const std::string& path, std::string* error) {
  ParameterTree tree;
  if (!tree.LoadFile(path, error)) return false;
  std::lock_guard lock(mutex_);
  tree_ = std::move(tree);
  return true;
}

bool Simulator::LoadProfileText(std::string_view text, std::string* error) {
  ParameterTree tree;
  if (!tree.LoadText(text, error)) return false;
  std::lock_guard lock(mutex_);
  tree_ = std::move(tree);
  return true;
}

bool Simulator::Start(const std::string& address, std::uint16_t port, std::string* error) {
  if (daemon_ != nullptr) {
    if (error) *error = "already running";
    return false;
  }
  sockaddr_in socket_address{};
  socket_address.sin_family = AF_INET;
  socket_address.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &socket_address.sin_addr) != 1) {
    if (error) *error = "not an IPv4 address: " + address;
    return false;
  }
  std::random_device random;
  for (unsigned char& byte : digest_random_) byte = static_cast<unsigned char>(random());
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
    started_ = std::chrono::steady_clock::now();
  }

  // One thread per connection: a delayed or stalled reply then holds up only its own connection,
  // as on a camera, and its waits can simply sleep.
  const unsigned flags =
      MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ITC;
  errno = 0;
  // clang-format off
  daemon_ = MHD_start_daemon(
      flags, port, nullptr, nullptr, &Callbacks::Access, this,
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&socket_address),
      MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::Uri, this,
      MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::Completed, this,
      MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::ConnectionEvent, this,
      MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds,
      MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
      MHD_OPTION_DIGEST_AUTH_RANDOM, sizeof(digest_random_), digest_random_,
      MHD_OPTION_NONCE_NC_SIZE, kDigestNonceSlots,
      MHD_OPTION_END);
  // clang-format on
  if (daemon_ == nullptr) {
    const int cause = errno;
    if (error) {
      *error = "cannot listen on " + address + ":" + std::to_string(port) +
               (cause != 0 ? std::string(": ") + std::strerror(cause) : std::string());
    }
    return false;
  }
  address_ = address;
  port_ = port;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  if (info != nullptr && info->port != 0) port_ = info->port;
  if (!StartRtsp(error)) {
    Stop();
    return false;
  }
  return true;
}

void Simulator::Stop() {
  if (daemon_ == nullptr) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  rtsp_->Stop();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  std::lock_guard lock(mutex_);
  stopping_ = false;
}

bool Simulator::running() const { return daemon_ != nullptr; }
std::uint16_t Simulator::port() const { return port_; }
std::string Simulator::address() const { return address_; }
std::string Simulator::base_url() const {
  return "http://" + address_ + ":" + std::to_string(port_);
}

void Simulator::SetAuth(const AuthSettings& auth) {
  std::lock_guard lock(mutex_);
  auth_ = auth;
}

AuthSettings Simulator::auth() const {
  std::lock_guard lock(mutex_);
  return auth_;
}

std::optional<std::string> Simulator::GetParameter(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const Parameter* parameter = tree_.Lookup(key);
  if (parameter == nullptr) return std::nullopt;
  return parameter->value;
}

void Simulator::SetParameter(std::string_view key, std::string_view value) {
  std::lock_guard lock(mutex_);
  tree_.Put(key, value);
}

std::vector<Parameter> Simulator::FindParameters(std::string_view request_key) const {
  std::lock_guard lock(mutex_);
  return tree_.Find(request_key);
}

ParameterTree Simulator::Tree() const {
  std::lock_guard lock(mutex_);
  return tree_;
}

std::vector<RequestRecord> Simulator::RequestLog() const {
  std::lock_guard lock(mutex_);
  return log_;
}

void Simulator::ClearRequestLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

bool Simulator::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return log_.size() >= count; });
}

ConnectionCounters Simulator::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

bool Simulator::WaitForClosedConnections(std::uint64_t count,
                                         std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return connections_.closed >= count; });
}

void Simulator::AddFault(const Fault& fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(fault);
}

void Simulator::ClearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

std::vector<Fault> Simulator::Faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

std::string Simulator::FormatRecord(const RequestRecord& record) {
  return "seq=" + std::to_string(record.sequence) +
         "\tconnection=" + std::to_string(record.connection_id) +
         "\tmethod=" + Escape(record.method) + "\ttarget=" + Escape(record.target) +
         "\tauth=" + std::string(AuthUsedName(record.auth)) + "\tuser=" + Escape(record.auth_user) +
         "\taccepted=" + (record.auth_accepted ? "1" : "0") +
         "\tstatus=" + std::to_string(record.status) + "\tbody=" + Escape(record.body);
}

std::vector<Fault> Simulator::TakeFaultsLocked(const std::string& target) {
  std::vector<Fault> applying;
  for (Fault& fault : faults_) {
    if (fault.count == 0 || !MatchesWildcard(fault.pattern, target)) continue;
    applying.push_back(fault);
    if (fault.count > 0) --fault.count;
  }
  std::erase_if(faults_, [](const Fault& fault) { return fault.count == 0; });
  return applying;
}

bool Simulator::Wait(std::chrono::milliseconds duration, int peer_socket) const {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return true;
    changed_.wait_for(lock,
                      std::min<std::chrono::steady_clock::duration>(deadline - now, kWaitSlice),
                      [this] { return stopping_; });
    if (PeerGone(peer_socket)) return false;
  }
  return false;
}

void Simulator::AppendLog(RequestRecord record) {
  {
    std::lock_guard lock(mutex_);
    record.sequence = next_sequence_++;
    log_.push_back(std::move(record));
  }
  changed_.notify_all();
}

}  // namespace camsim
