#include "view_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string_view>
#include <vector>

#include "view_api.h"
#include "web_assets.h"

namespace tessavirn_host {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr unsigned kIdleTimeoutSeconds = 60;
constexpr std::size_t kStreamBlockBytes = 64 * 1024;
constexpr std::size_t kMaxPasswordFileBytes = 4096;
// A live picture stream repeats the latest picture when no newer one came for this long, so a
// still camera keeps the stream alive and a viewer that went away is noticed.
constexpr auto kPictureRepeat = 1s;
// A live picture stream that has had no picture at all for this long ends; the page asks again.
constexpr auto kFirstPictureWait = 10s;
constexpr auto kSnapshotWait = 5s;
// An event stream that has nothing to say sends a comment this often, for the same reason.
constexpr auto kEventKeepAlive = 15s;
constexpr const char* kBoundary = "tessavirn-picture";
constexpr const char* kRealm = "tessavirn view";

// What one request has received so far.
struct RequestState {
  std::string body;
  bool too_large = false;
};

std::string Header(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value != nullptr ? value : "";
}

void AddCommonHeaders(MHD_Response* response) {
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
  MHD_add_response_header(response, "Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
}

MHD_Result Queue(MHD_Connection* connection, unsigned status, std::string_view body, const char* type) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  AddCommonHeaders(response);
  const MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result QueueApi(MHD_Connection* connection, const ApiReply& reply) {
  return Queue(connection, static_cast<unsigned>(reply.status), reply.body, "application/json");
}

MHD_Result QueueStream(MHD_Connection* connection, const char* type, MHD_ContentReaderCallback read, void* state,
                       MHD_ContentReaderFreeCallback free_state) {
  MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlockBytes, read, state,
                                                             free_state);
  if (response == nullptr) {
    free_state(state);
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  AddCommonHeaders(response);
  const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return result;
}

// Copies what is left of pending from offset into the buffer MHD gives.
ssize_t CopyPending(const std::string& pending, std::size_t& offset, char* buffer, std::size_t max) {
  const std::size_t count = std::min(max, pending.size() - offset);
  std::memcpy(buffer, pending.data() + offset, count);
  offset += count;
  return static_cast<ssize_t>(count);
}

// One viewer's live picture stream.
struct PictureStream {
  PictureStream(LiveChannel& live, const std::atomic<bool>& server_stopping)
      : channel(live), viewer(live), stopping(server_stopping), last(live.Latest().sequence) {}
  LiveChannel& channel;
  LiveChannel::Viewer viewer;
  const std::atomic<bool>& stopping;
  std::uint64_t last;  // the picture sent last, or the latest when the stream began
  Clock::time_point began = Clock::now();
  std::string pending;
  std::size_t offset = 0;
};

ssize_t ReadPictureStream(void* cls, std::uint64_t, char* buffer, std::size_t max) {
  auto& stream = *static_cast<PictureStream*>(cls);
  while (stream.offset >= stream.pending.size()) {
    if (stream.stopping.load() || stream.channel.closed()) return MHD_CONTENT_READER_END_OF_STREAM;
    const LivePicture picture = stream.channel.WaitPicture(stream.last, Clock::now() + kPictureRepeat);
    // No picture yet. (The first one sent may be one that was there before the viewer came, when
    // no newer one comes in time: a still camera's picture is still worth showing.)
    if (picture.sequence == 0) {
      if (Clock::now() - stream.began >= kFirstPictureWait) return MHD_CONTENT_READER_END_OF_STREAM;
      continue;
    }
    stream.pending = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                     std::to_string(picture.jpeg->size()) + "\r\n\r\n";
    stream.pending.append(reinterpret_cast<const char*>(picture.jpeg->data()), picture.jpeg->size());
    stream.pending += "\r\n";
    stream.offset = 0;
    stream.last = picture.sequence;
  }
  return CopyPending(stream.pending, stream.offset, buffer, max);
}

// One page's event stream.
struct EventStream {
  EventStream(EventHub& event_hub, const std::atomic<bool>& server_stopping)
      : hub(event_hub), stopping(server_stopping) {
    // A page that loses the stream reconnects after 2 s.
    pending = "retry: 2000\n\n";
    for (const HubEvent& event : hub.Welcome(cursor)) pending += FormatServerSentEvent(event);
  }
  EventHub& hub;
  const std::atomic<bool>& stopping;
  std::uint64_t cursor = 0;
  std::string pending;
  std::size_t offset = 0;
};

ssize_t ReadEventStream(void* cls, std::uint64_t, char* buffer, std::size_t max) {
  auto& stream = *static_cast<EventStream*>(cls);
  if (stream.offset >= stream.pending.size()) {
    if (stream.stopping.load() || stream.hub.closed()) return MHD_CONTENT_READER_END_OF_STREAM;
    const std::vector<HubEvent> events = stream.hub.WaitAfter(stream.cursor, Clock::now() + kEventKeepAlive);
    if (stream.stopping.load() || stream.hub.closed()) return MHD_CONTENT_READER_END_OF_STREAM;
    stream.pending.clear();
    stream.offset = 0;
    for (const HubEvent& event : events) stream.pending += FormatServerSentEvent(event);
    if (stream.pending.empty()) stream.pending = ": keep-alive\n\n";
  }
  return CopyPending(stream.pending, stream.offset, buffer, max);
}

template <typename Stream>
void FreeStream(void* cls) {
  delete static_cast<Stream*>(cls);
}

// The host part of a Host header: "127.0.0.1:8080" -> "127.0.0.1", "[::1]:8080" -> "::1".
std::string_view HostName(std::string_view host) {
  if (host.starts_with("[")) {
    const std::size_t end = host.find(']');
    return end == std::string_view::npos ? std::string_view() : host.substr(1, end - 1);
  }
  return host.substr(0, host.find(':'));
}

bool IsLoopbackHostName(std::string_view name) {
  if (name == "localhost" || name == "::1") return true;
  in_addr address{};
  const std::string text(name);
  return inet_pton(AF_INET, text.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

bool SameText(std::string_view a, std::string_view b) {
  // Compares in time that does not depend on where the texts differ.
  unsigned difference = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    const unsigned char from_a = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char from_b = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    difference |= static_cast<unsigned>(from_a ^ from_b);
  }
  return difference == 0;
}

// The channel of "/api/channels/N/live" or ".../snapshot", with what was asked for.
struct PicturePath {
  std::string channel;
  std::string what;
};
std::optional<PicturePath> ParsePicturePath(std::string_view path) {
  constexpr std::string_view prefix = "/api/channels/";
  if (!path.starts_with(prefix)) return std::nullopt;
  path.remove_prefix(prefix.size());
  const std::size_t slash = path.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  return PicturePath{std::string(path.substr(0, slash)), std::string(path.substr(slash + 1))};
}

LiveChannel* FindChannel(ViewSession& session, const std::string& text) {
  const auto channel = ParseIndex(text);
  return channel ? session.Channel(*channel) : nullptr;
}

}  // namespace

struct ViewServer::Callbacks {
  static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                           const char*, const char* upload_data, std::size_t* upload_data_size, void** con_cls) {
    auto& server = *static_cast<ViewServer*>(cls);
    if (*con_cls == nullptr) {
      // The first call, with the headers only: refuse what needs no body to be refused.
      *con_cls = new RequestState;
      if (!server.password_.empty()) {
        char* password = nullptr;
        char* user = MHD_basic_auth_get_username_password(connection, &password);
        const bool allowed = user != nullptr && password != nullptr && SameText(password, server.password_);
        if (user != nullptr) MHD_free(user);
        if (password != nullptr) MHD_free(password);
        if (!allowed) {
          const std::string body = DumpJson({{"error", "this page needs its password"}});
          MHD_Response* response =
              MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
          if (response == nullptr) return MHD_NO;
          MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
          const MHD_Result result = MHD_queue_basic_auth_fail_response(connection, kRealm, response);
          MHD_destroy_response(response);
          return result;
        }
      } else if (!IsLoopbackHostName(HostName(Header(connection, MHD_HTTP_HEADER_HOST)))) {
        return QueueApi(connection, ApiError(403, "without a page password the view answers loopback host names only"));
      }
      return MHD_YES;
    }
    auto& request = *static_cast<RequestState*>(*con_cls);
    if (*upload_data_size != 0) {
      if (request.body.size() + *upload_data_size > kMaxApiBodyBytes) {
        request.too_large = true;
      } else {
        request.body.append(upload_data, *upload_data_size);
      }
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (request.too_large) {
      return QueueApi(connection,
                      ApiError(413, "the body is larger than " + std::to_string(kMaxApiBodyBytes) + " bytes"));
    }
    return Answer(server, connection, url, method, request);
  }

  static MHD_Result Answer(ViewServer& server, MHD_Connection* connection, const char* url, const char* method,
                           RequestState& request) {
    const std::string_view path = url;
    const std::string_view verb = method;
    const bool get = verb == "GET" || verb == "HEAD";
    if (const WebAsset* asset = FindWebAsset(path)) {
      if (!get) return QueueApi(connection, ApiError(405, "the page is read with GET"));
      return Queue(connection, MHD_HTTP_OK, asset->body, asset->content_type.data());
    }
    if (path == "/api/events") {
      if (!get) return QueueApi(connection, ApiError(405, "the event stream is read with GET"));
      auto* stream = new EventStream(server.hub_, server.stopping_);
      return QueueStream(connection, "text/event-stream", &ReadEventStream, stream, &FreeStream<EventStream>);
    }
    if (const auto picture_path = ParsePicturePath(path)) {
      if (picture_path->what != "live" && picture_path->what != "snapshot") {
        return QueueApi(connection, ApiError(404, "no such path: " + std::string(path)));
      }
      LiveChannel* channel = FindChannel(server.session_, picture_path->channel);
      if (channel == nullptr) {
        return QueueApi(connection, ApiError(404, "the view shows no channel " + picture_path->channel));
      }
      if (!get) return QueueApi(connection, ApiError(405, "pictures are read with GET"));
      if (picture_path->what == "live") {
        auto* stream = new PictureStream(*channel, server.stopping_);
        const std::string type = std::string("multipart/x-mixed-replace; boundary=") + kBoundary;
        return QueueStream(connection, type.c_str(), &ReadPictureStream, stream, &FreeStream<PictureStream>);
      }
      LiveChannel::Viewer viewer(*channel);
      const LivePicture picture = channel->WaitPicture(channel->Latest().sequence, Clock::now() + kSnapshotWait);
      if (picture.sequence == 0) return QueueApi(connection, ApiError(503, "no picture from the camera yet"));
      return Queue(connection, MHD_HTTP_OK,
                   std::string_view(reinterpret_cast<const char*>(picture.jpeg->data()), picture.jpeg->size()),
                   "image/jpeg");
    }
    ApiRequest api;
    api.method = verb == "HEAD" ? "GET" : std::string(verb);
    api.path = std::string(path);
    const char* since = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "since");
    api.since = since != nullptr ? since : "";
    api.content_type = Header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
    api.body = std::move(request.body);
    return QueueApi(connection, AnswerApi(server.session_, api));
  }

  static void Completed(void*, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
    delete static_cast<RequestState*>(*con_cls);
    *con_cls = nullptr;
  }
};

ViewServer::ViewServer(ViewSession& session, EventHub& hub) : session_(session), hub_(hub) {}

ViewServer::~ViewServer() { Stop(); }

bool ViewServer::Start(const ListenAddress& address, const std::string& password, std::string& error) {
  address_ = address;
  password_ = password;
  sockaddr_in socket_address{};
  socket_address.sin_family = AF_INET;
  socket_address.sin_port = htons(address.port);
  if (inet_pton(AF_INET, address.host.c_str(), &socket_address.sin_addr) != 1) {
    error = "not an IPv4 address: " + address.host;
    return false;
  }
  // clang-format off
  daemon_ = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL, address.port,
      nullptr, nullptr, &Callbacks::Access, this,
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&socket_address),
      MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::Completed, this,
      MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds,
      MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
      MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u,
      MHD_OPTION_END);
  // clang-format on
  if (daemon_ == nullptr) {
    error = "cannot listen on " + address.host + ":" + std::to_string(address.port) +
            " (in use, or not an address of this machine?)";
    return false;
  }
  if (address_.port == 0) {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    if (info != nullptr) address_.port = info->port;
  }
  return true;
}

std::string ViewServer::Url() const { return "http://" + address_.host + ":" + std::to_string(address_.port) + "/"; }

void ViewServer::Stop() {
  stopping_.store(true);
  if (daemon_ != nullptr) {
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }
}

std::optional<ListenAddress> ParseListenAddress(const std::string& text, std::string& error) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    error = "--listen takes HOST:PORT, not \"" + text + "\"";
    return std::nullopt;
  }
  ListenAddress address;
  address.host = text.substr(0, colon);
  if (address.host == "localhost") address.host = "127.0.0.1";
  in_addr parsed{};
  if (inet_pton(AF_INET, address.host.c_str(), &parsed) != 1) {
    error = "--listen: HOST must be an IPv4 address or localhost, not \"" + text.substr(0, colon) + "\"";
    return std::nullopt;
  }
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(port) > 65535) {
    error = "--listen: PORT must be from 0 to 65535, not \"" + port + "\"";
    return std::nullopt;
  }
  address.port = static_cast<std::uint16_t>(std::stoul(port));
  address.loopback = (ntohl(parsed.s_addr) >> 24) == 127;
  return address;
}

std::optional<std::string> ReadWebPassword(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  std::string text(kMaxPasswordFileBytes + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kMaxPasswordFileBytes) {
    error = path + " is larger than " + std::to_string(kMaxPasswordFileBytes) + " bytes";
    return std::nullopt;
  }
  text = text.substr(0, text.find_first_of("\r\n"));
  if (text.empty()) {
    error = "the first line of " + path + " is empty: it must hold the page password";
    return std::nullopt;
  }
  return text;
}

}  // namespace tessavirn_host
