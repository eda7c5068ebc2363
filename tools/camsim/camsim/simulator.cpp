#include "camsim/simulator.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>

#include "camsim/jpeg_picture.h"
#include "camsim/parameter_interface.h"
#include "camsim/rtsp_recorder.h"
#include "camsim/rtsp_server.h"

namespace camsim {
namespace {

// An idle keep-alive connection is closed after this long, as a camera's web server does.
constexpr unsigned kIdleTimeoutSeconds = 30;
constexpr unsigned kMaxConnections = 64;
constexpr unsigned kDigestNonceSlots = 256;
constexpr unsigned kDigestNonceLifetimeSeconds = 300;
constexpr std::size_t kMaxRequestBody = 1 << 20;
constexpr std::size_t kStreamBlockSize = 4096;
// Granularity of waits, for noticing a peer that went away during a delay or stall.
constexpr std::chrono::milliseconds kWaitSlice{20};
constexpr int kDefaultJpegWidth = 640;
constexpr int kDefaultJpegHeight = 480;
constexpr int kDefaultJpegQuality = 75;
constexpr std::string_view kAdminPrefix = "camsim/";
constexpr std::string_view kVideoPath = "video.jpg";
constexpr const char* kTextType = "text/plain";
constexpr const char* kJpegType = "image/jpeg";
constexpr const char* kDigestOpaque = "5ccc069c403ebaf9f0171e9517f40e41";

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

// The peer has closed or reset its end.
bool PeerGone(int socket) {
  if (socket < 0) return false;
  pollfd entry{socket, POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::string StatusText(int status) {
  switch (status) {
    case 401: return "401 Unauthorized\r\n";
    case 403: return "403 Forbidden\r\n";
    case 404: return "404 Not Found\r\n";
    case 405: return "405 Method Not Allowed\r\n";
    case 413: return "413 Request Entity Too Large\r\n";
    case 500: return "500 Internal Server Error\r\n";
    case 503: return "503 Service Unavailable\r\n";
    default: return std::to_string(status) + "\r\n";
  }
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace

struct Simulator::Connection {
  std::uint64_t id = 0;
  int socket = -1;
};

struct Simulator::Request {
  std::string target;  // as received, from the URI callback
  std::string method;
  std::string body;
  bool headers_seen = false;
  bool body_too_large = false;
};

struct Simulator::Reply {
  int status = 200;
  std::string body;
  const char* content_type = kTextType;
};

// The body of a reply that a fault shapes; owned by libmicrohttpd's response once created.
struct Simulator::BodyStream {
  const Simulator* simulator = nullptr;  // outlives the stream: Stop joins the thread reading it
  std::string body;
  std::size_t split = 0;  // where a stall or close happens
  int stall_ms = 0;
  bool close_at_split = false;
  bool past_split = false;
  int socket = -1;
};

struct Simulator::Callbacks {
  static MHD_Result Access(void* self, MHD_Connection* connection, const char* /*url*/,
                           const char* method, const char* /*version*/, const char* upload_data,
                           std::size_t* upload_size, void** request_context) {
    auto* request = static_cast<Request*>(*request_context);
    if (request == nullptr) return MHD_NO;
    if (!request->headers_seen) {
      // The first call only announces the headers; the body follows in later calls.
      request->headers_seen = true;
      request->method = method != nullptr ? method : "";
      return MHD_YES;
    }
    if (*upload_size > 0) {
      if (request->body.size() + *upload_size > kMaxRequestBody) {
        request->body_too_large = true;
      } else {
        request->body.append(upload_data, *upload_size);
      }
      *upload_size = 0;
      return MHD_YES;
    }
    return static_cast<Simulator*>(self)->Answer(connection, request) ? MHD_YES : MHD_NO;
  }

  static void* Uri(void* /*self*/, const char* uri, MHD_Connection* /*connection*/) {
    auto* request = new Request;
    request->target = uri != nullptr ? uri : "";
    return request;
  }

  static void Completed(void* /*self*/, MHD_Connection* /*connection*/, void** request_context,
                        MHD_RequestTerminationCode /*reason*/) {
    delete static_cast<Request*>(*request_context);
    *request_context = nullptr;
  }

  static void ConnectionEvent(void* self, MHD_Connection* connection, void** socket_context,
                              MHD_ConnectionNotificationCode event) {
    auto* simulator = static_cast<Simulator*>(self);
    if (event == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* state = new Connection;
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      if (info != nullptr) state->socket = info->connect_fd;
      {
        std::lock_guard lock(simulator->mutex_);
        state->id = simulator->next_connection_id_++;
        ++simulator->connections_.accepted;
      }
      *socket_context = state;
      simulator->changed_.notify_all();
      return;
    }
    delete static_cast<Connection*>(*socket_context);
    *socket_context = nullptr;
    {
      std::lock_guard lock(simulator->mutex_);
      ++simulator->connections_.closed;
    }
    simulator->changed_.notify_all();
  }

  static ssize_t ReadBody(void* context, std::uint64_t position, char* buffer, std::size_t max) {
    auto* stream = static_cast<BodyStream*>(context);
    if (position >= stream->split && !stream->past_split) {
      if (stream->close_at_split) return MHD_CONTENT_READER_END_WITH_ERROR;
      if (stream->stall_ms > 0 &&
          !stream->simulator->Wait(std::chrono::milliseconds(stream->stall_ms), stream->socket)) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
      }
      stream->past_split = true;
    }
    const std::size_t end = stream->past_split ? stream->body.size() : stream->split;
    if (position >= stream->body.size()) return MHD_CONTENT_READER_END_OF_STREAM;
    const std::size_t count = std::min(max, end - static_cast<std::size_t>(position));
    std::memcpy(buffer, stream->body.data() + position, count);
    return static_cast<ssize_t>(count);
  }

  static void FreeBody(void* context) { delete static_cast<BodyStream*>(context); }
};

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
    : jpeg_(std::make_shared<const std::string>(
          EncodeTestPicture(kDefaultJpegWidth, kDefaultJpegHeight, kDefaultJpegQuality))),
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

void Simulator::SetJpegPicture(std::string picture) {
  auto shared = std::make_shared<const std::string>(std::move(picture));
  std::lock_guard lock(mutex_);
  jpeg_ = std::move(shared);
}

std::string Simulator::JpegPicture() const {
  std::lock_guard lock(mutex_);
  return *jpeg_;
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

Simulator::Reply Simulator::AnswerAdmin(const std::string& path, const std::string& query) {
  const std::vector<std::string> items = SplitQuery(query);
  const bool clear = std::find(items.begin(), items.end(), "clear") != items.end();
  Reply reply;
  if (path == "camsim/rtsp" || path == "camsim/restart") {
    reply.status = AnswerRtspAdmin(path, items, &reply.body);
    return reply;
  }
  std::unique_lock lock(mutex_);
  if (path == "camsim/log") {
    if (clear) log_.clear();
    for (const RequestRecord& record : log_) reply.body += FormatRecord(record) + "\r\n";
  } else if (path == "camsim/connections") {
    reply.body = Lines({"accepted=" + std::to_string(connections_.accepted),
                        "closed=" + std::to_string(connections_.closed),
                        "open=" + std::to_string(connections_.open())});
  } else if (path == "camsim/faults") {
    if (clear) {
      faults_.clear();
      media_faults_->Clear();
    }
    std::vector<MediaFault> media_faults;
    for (const std::string& item : items) {
      if (!item.starts_with("add=")) continue;
      std::string why;
      if (IsMediaFaultText(item.substr(4))) {
        const std::optional<MediaFault> fault = ParseMediaFault(item.substr(4), &why);
        if (!fault) return Reply{400, "bad fault: " + why + "\r\n", kTextType};
        media_faults.push_back(*fault);
        continue;
      }
      const std::optional<Fault> fault = ParseFault(item.substr(4), &why);
      if (!fault) return Reply{400, "bad fault: " + why + "\r\n", kTextType};
      faults_.push_back(*fault);
    }
    for (const Fault& fault : faults_) reply.body += FormatFault(fault) + "\r\n";
    // A restart takes mutex_ itself.
    lock.unlock();
    for (const MediaFault& fault : media_faults) AddMediaFault(fault);
    for (const MediaFault& fault : media_faults_->List()) {
      reply.body += FormatMediaFault(fault) + "\r\n";
    }
  } else if (path == "camsim/params") {
    for (const std::string& item : items) {
      const std::size_t equals = item.find('=');
      if (equals == std::string::npos || equals == 0) {
        return Reply{400, "expected KEY=VALUE: " + item + "\r\n", kTextType};
      }
      tree_.Put(item.substr(0, equals), item.substr(equals + 1));
      reply.body += item + "\r\n";
    }
  } else if (path == "camsim/auth") {
    AuthSettings auth = auth_;
    for (const std::string& item : items) {
      const std::size_t equals = item.find('=');
      const std::string name = item.substr(0, equals);
      const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
      if (name == "mode") {
        const std::optional<AuthMode> mode = ParseAuthMode(value);
        if (!mode) return Reply{400, "mode is none, basic or digest\r\n", kTextType};
        auth.mode = *mode;
      } else if (name == "user") {
        auth.user = value;
      } else if (name == "password") {
        auth.password = value;
      } else if (name == "realm") {
        auth.realm = value;
      }
    }
    auth_ = auth;
    reply.body = Lines({"mode=" + std::string(AuthModeName(auth.mode)), "user=" + auth.user,
                        "realm=" + auth.realm});
  } else {
    reply.status = 404;
    reply.body = StatusText(404);
  }
  return reply;
}

bool Simulator::Answer(MHD_Connection* connection, Request* request) {
  const auto [path, query] = SplitTarget(request->target);
  if (path.starts_with(kAdminPrefix))
    return Queue(connection, AnswerAdmin(path, query), {}, nullptr, false);

  const MHD_ConnectionInfo* socket_info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  const auto* state = socket_info != nullptr
                          ? static_cast<const Connection*>(socket_info->socket_context)
                          : nullptr;
  RequestRecord record;
  record.connection_id = state != nullptr ? state->id : 0;
  record.method = request->method;
  record.target = request->target;
  record.body = request->body;

  std::string password;
  const char* authorization =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  if (authorization != nullptr) {
    const std::string_view header(authorization);
    auto scheme_is = [header](std::string_view scheme) {
      return header.size() > scheme.size() && header[scheme.size()] == ' ' &&
             std::equal(scheme.begin(), scheme.end(), header.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
             });
    };
    if (scheme_is("Basic")) {
      record.auth = AuthUsed::kBasic;
      char* basic_password = nullptr;
      char* user = MHD_basic_auth_get_username_password(connection, &basic_password);
      if (user != nullptr) record.auth_user = user;
      if (basic_password != nullptr) password = basic_password;
      MHD_free(user);
      MHD_free(basic_password);
    } else if (scheme_is("Digest")) {
      record.auth = AuthUsed::kDigest;
      char* user = MHD_digest_auth_get_username(connection);
      if (user != nullptr) record.auth_user = user;
      MHD_free(user);
    } else {
      record.auth = AuthUsed::kOther;
    }
  }

  // Fault patterns are written like the paths of the parameter interface, without the '/'.
  const std::size_t first = request->target.find_first_not_of('/');
  const std::string fault_target =
      first == std::string::npos ? std::string() : request->target.substr(first);
  std::vector<Fault> faults;
  AuthSettings auth;
  bool down = false;
  {
    std::lock_guard lock(mutex_);
    // A restarting camera answers nothing but 503, and no fault applies to it.
    down = DownLocked();
    if (!down) faults = TakeFaultsLocked(fault_target);
    auth = auth_;
  }
  if (down) {
    record.status = MHD_HTTP_SERVICE_UNAVAILABLE;
    AppendLog(std::move(record));
    return Queue(connection, Reply{MHD_HTTP_SERVICE_UNAVAILABLE,
                                   StatusText(MHD_HTTP_SERVICE_UNAVAILABLE), kTextType},
                 {}, nullptr, false);
  }
  auto has_fault = [&faults](FaultKind kind) {
    return std::any_of(faults.begin(), faults.end(),
                       [kind](const Fault& fault) { return fault.kind == kind; });
  };
  const int socket = state != nullptr ? state->socket : -1;
  for (const Fault& fault : faults) {
    if (fault.kind == FaultKind::kDelay) Wait(std::chrono::milliseconds(fault.value), socket);
  }

  const bool reject = has_fault(FaultKind::kRejectCredentials);
  bool stale_nonce = false;
  record.auth_accepted = !reject;
  if (auth.mode == AuthMode::kBasic) {
    record.auth_accepted = !reject && record.auth == AuthUsed::kBasic &&
                           record.auth_user == auth.user && password == auth.password;
  } else if (auth.mode == AuthMode::kDigest) {
    record.auth_accepted = false;
    if (!reject && record.auth == AuthUsed::kDigest) {
      const int check = MHD_digest_auth_check2(connection, auth.realm.c_str(), auth.user.c_str(),
                                               auth.password.c_str(), kDigestNonceLifetimeSeconds,
                                               MHD_DIGEST_ALG_MD5);
      record.auth_accepted = check == MHD_YES;
      stale_nonce = check == MHD_INVALID_NONCE;
    }
  }
  // A forced status answers whatever the credentials, as from a server too busy to serve; the
  // record still tells whether they were right.
  const auto forced = std::find_if(faults.begin(), faults.end(), [](const Fault& fault) {
    return fault.kind == FaultKind::kStatus;
  });
  if (forced != faults.end()) {
    record.status = forced->value;
    AppendLog(std::move(record));
    return Queue(connection, Reply{forced->value, StatusText(forced->value), kTextType}, faults,
                 nullptr, false);
  }

  if (!record.auth_accepted) {
    record.status = MHD_HTTP_UNAUTHORIZED;
    AppendLog(std::move(record));
    return Queue(connection,
                 Reply{MHD_HTTP_UNAUTHORIZED, StatusText(MHD_HTTP_UNAUTHORIZED), kTextType}, faults,
                 &auth, stale_nonce);
  }

  Reply reply;
  const bool is_read = request->method == "GET" || request->method == "HEAD";
  if (request->body_too_large) {
    reply = Reply{MHD_HTTP_CONTENT_TOO_LARGE, StatusText(MHD_HTTP_CONTENT_TOO_LARGE), kTextType};
  } else if (IsParameterPath(path)) {
    ParameterRequest parameter_request{request->method == "HEAD" ? "GET" : request->method, path,
                                       query, request->body};
    ParameterReply parameter_reply;
    {
      std::lock_guard lock(mutex_);
      parameter_reply = HandleParameterRequest(tree_, parameter_request);
    }
    reply.status = parameter_reply.status;
    reply.body = std::move(parameter_reply.body);
    if (reply.status != MHD_HTTP_OK && reply.body.empty()) reply.body = StatusText(reply.status);
  } else if (path == kVideoPath && is_read) {
    std::shared_ptr<const std::string> picture;
    {
      std::lock_guard lock(mutex_);
      picture = jpeg_;
    }
    reply = Reply{MHD_HTTP_OK, *picture, kJpegType};
  } else if (path == kVideoPath) {
    reply = Reply{MHD_HTTP_METHOD_NOT_ALLOWED, StatusText(MHD_HTTP_METHOD_NOT_ALLOWED), kTextType};
  } else {
    reply = Reply{MHD_HTTP_NOT_FOUND, StatusText(MHD_HTTP_NOT_FOUND), kTextType};
  }
  record.status = reply.status;
  AppendLog(std::move(record));
  return Queue(connection, reply, faults, nullptr, false);
}

bool Simulator::Queue(MHD_Connection* connection, const Reply& reply,
                      const std::vector<Fault>& faults, const AuthSettings* challenge,
                      bool stale_nonce) {
  int stall_ms = 0;
  bool close_mid_reply = false;
  bool chunked = false;
  bool close_delimited = false;
  for (const Fault& fault : faults) {
    switch (fault.kind) {
      case FaultKind::kStall: stall_ms = std::max(stall_ms, fault.value); break;
      case FaultKind::kCloseMidReply: close_mid_reply = true; break;
      case FaultKind::kChunked: chunked = true; break;
      case FaultKind::kCloseDelimited: close_delimited = true; break;
      default: break;
    }
  }
  int socket = -1;
  if (const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
    socket = info->connect_fd;
  }
  // A reply without body has nothing to stall in; it stalls before its headers instead.
  if (stall_ms > 0 && reply.body.empty()) {
    Wait(std::chrono::milliseconds(stall_ms), socket);
    stall_ms = 0;
  }

  MHD_Response* response = nullptr;
  if (stall_ms == 0 && !close_mid_reply && !chunked && !close_delimited) {
    response = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  } else {
    auto stream = std::make_unique<BodyStream>();
    stream->simulator = this;
    stream->body = reply.body;
    stream->stall_ms = stall_ms;
    stream->close_at_split = close_mid_reply;
    stream->split = (stall_ms > 0 || close_mid_reply) ? reply.body.size() / 2 : reply.body.size();
    stream->socket = socket;
    // Content-Length announces the whole body even when it will be cut off; a reply without
    // body announces one byte, so that closing still leaves the client short.
    std::uint64_t size = std::max<std::size_t>(reply.body.size(), close_mid_reply ? 1 : 0);
    if (chunked || close_delimited) size = MHD_SIZE_UNKNOWN;
    response = MHD_create_response_from_callback(size, kStreamBlockSize, &Callbacks::ReadBody,
                                                 stream.get(), &Callbacks::FreeBody);
    if (response != nullptr) stream.release();
  }
  if (response == nullptr) return false;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.content_type);
  // An HTTP/1.0 reply cannot be chunked, so a body of unknown length ends with the connection.
  if (close_delimited) MHD_set_response_options(response, MHD_RF_HTTP_1_0_SERVER, MHD_RO_END);
  MHD_Result queued = MHD_NO;
  if (challenge == nullptr) {
    queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  } else if (challenge->mode == AuthMode::kDigest) {
    queued =
        MHD_queue_auth_fail_response2(connection, challenge->realm.c_str(), kDigestOpaque, response,
                                      stale_nonce ? MHD_YES : MHD_NO, MHD_DIGEST_ALG_MD5);
  } else {
    // Also for credentials refused by a fault on a camera that asks for none.
    queued = MHD_queue_basic_auth_fail_response(connection, challenge->realm.c_str(), response);
  }
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

}  // namespace camsim
