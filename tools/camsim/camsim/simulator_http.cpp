// The simulator's request path: libmicrohttpd's callbacks, the answer to each request and the
// fault shaping of the reply that goes out.
#include <microhttpd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "camsim/parameter_interface.h"
#include "camsim/simulator.h"
#include "camsim/simulator_internal.h"

namespace camsim {
namespace {

constexpr unsigned kDigestNonceLifetimeSeconds = 300;
constexpr std::size_t kMaxRequestBody = 1 << 20;
constexpr std::size_t kStreamBlockSize = 4096;
constexpr std::string_view kAdminPrefix = "camsim/";
constexpr std::string_view kVideoPath = "video.jpg";
constexpr std::string_view kSetPath = "params/set.cgi";
constexpr const char* kDigestOpaque = "5ccc069c403ebaf9f0171e9517f40e41";

}  // namespace

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

MHD_Result Simulator::Callbacks::Access(void* self, MHD_Connection* connection, const char* /*url*/,
                                        const char* method, const char* /*version*/,
                                        const char* upload_data, std::size_t* upload_size,
                                        void** request_context) {
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

void* Simulator::Callbacks::Uri(void* /*self*/, const char* uri, MHD_Connection* /*connection*/) {
  auto* request = new Request;
  request->target = uri != nullptr ? uri : "";
  return request;
}

void Simulator::Callbacks::Completed(void* /*self*/, MHD_Connection* /*connection*/,
                                     void** request_context,
                                     MHD_RequestTerminationCode /*reason*/) {
  delete static_cast<Request*>(*request_context);
  *request_context = nullptr;
}

void Simulator::Callbacks::ConnectionEvent(void* self, MHD_Connection* connection,
                                           void** socket_context,
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

ssize_t Simulator::Callbacks::ReadBody(void* context, std::uint64_t position, char* buffer,
                                       std::size_t max) {
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

void Simulator::Callbacks::FreeBody(void* context) { delete static_cast<BodyStream*>(context); }

bool Simulator::Answer(MHD_Connection* connection, Request* request) {
  const auto [path, query] = SplitTarget(request->target);
  if (path.starts_with(kAdminPrefix))
    return Queue(connection, AnswerAdmin(path, query), {}, nullptr, false);
  // Logged on arrival, before a restart or any fault can hold the request back or refuse it.
  if (path == kSetPath) LogSetRequest(query);

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
  // A dropped request gets no reply at all: libmicrohttpd closes the connection when the access
  // handler answers MHD_NO.
  if (has_fault(FaultKind::kDrop)) {
    AppendLog(std::move(record));  // status stays 0: nothing was answered
    return false;
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
    return AnswerVideo(connection, request->method == "HEAD", std::move(record), faults, socket);
  } else if (path == kVideoPath) {
    reply = Reply{MHD_HTTP_METHOD_NOT_ALLOWED, StatusText(MHD_HTTP_METHOD_NOT_ALLOWED), kTextType};
  } else {
    reply = Reply{MHD_HTTP_NOT_FOUND, StatusText(MHD_HTTP_NOT_FOUND), kTextType};
  }
  record.status = reply.status;
  AppendLog(std::move(record));
  // A profile's 401 (wildcard-status, unknown-key-status) comes with the camera's challenge, as
  // every 401 must; credentials that were right stay marked accepted in the log.
  const bool challenge = reply.status == MHD_HTTP_UNAUTHORIZED;
  return Queue(connection, reply, faults, challenge ? &auth : nullptr, false);
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
