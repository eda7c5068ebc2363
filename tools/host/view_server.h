#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "event_hub.h"
#include "view_session.h"

struct MHD_Daemon;

namespace tessavirn_host {

// Where the view listens: an IPv4 address (or "localhost") and a port, 0 for one the system
// picks.
struct ListenAddress {
  std::string host;  // dotted IPv4
  std::uint16_t port = 0;
  bool loopback = false;  // in 127.0.0.0/8
};

// "HOST:PORT" with HOST a dotted IPv4 address or "localhost" and PORT from 0 to 65535; nullopt
// with error otherwise.
std::optional<ListenAddress> ParseListenAddress(const std::string& text, std::string& error);

// The page password from its file: the first line, without its line end; nullopt with error for
// a file that cannot be read, is larger than 4 KiB or whose first line is empty.
std::optional<std::string> ReadWebPassword(const std::string& path, std::string& error);

// The view's HTTP server: the page, the JSON API, each channel's live pictures as
// multipart/x-mixed-replace JPEG and the event stream. Every connection has a thread of its own
// (a picture or event stream blocks in it between pieces), at most kMaxConnections at once.
//
// With a password every path needs it (HTTP Basic, any user name). Without one the server
// listens on loopback only, and answers only requests whose Host names a loopback host, so that
// a page of another site that renames itself to a loopback address cannot reach it.
class ViewServer {
 public:
  static constexpr unsigned kMaxConnections = 64;

  ViewServer(ViewSession& session, EventHub& hub);
  ~ViewServer();
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;

  // Binds and serves; false with error when it cannot bind.
  bool Start(const ListenAddress& address, const std::string& password, std::string& error);
  // The page's address, "http://HOST:PORT/".
  std::string Url() const;
  // Ends the streams (close the hub and the channels' pictures first, so none blocks) and joins
  // every connection's thread.
  void Stop();

  // For the libmicrohttpd callbacks.
  struct Callbacks;

 private:
  ViewSession& session_;
  EventHub& hub_;
  MHD_Daemon* daemon_ = nullptr;
  ListenAddress address_;
  std::string password_;
  std::atomic<bool> stopping_{false};
};

}  // namespace tessavirn_host
