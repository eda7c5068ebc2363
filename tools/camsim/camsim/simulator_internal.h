// What simulator.cpp, simulator_http.cpp and simulator_admin.cpp share: the per-connection and
// per-request state libmicrohttpd carries, a reply before fault shaping, and the callbacks.
#pragma once

#include <microhttpd.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "camsim/simulator.h"

namespace camsim {

constexpr const char* kTextType = "text/plain";
constexpr const char* kJpegType = "image/jpeg";

// "404 Not Found\r\n" and so on: the short body of a reply that carries nothing else.
std::string StatusText(int status);

// text with CR, LF, tab and backslash escaped, for one tab-separated field of an admin line.
std::string Escape(std::string_view text);

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

// libmicrohttpd's callbacks, in simulator_http.cpp.
struct Simulator::Callbacks {
  static MHD_Result Access(void* self, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* upload_data,
                           std::size_t* upload_size, void** request_context);
  static void* Uri(void* self, const char* uri, MHD_Connection* connection);
  static void Completed(void* self, MHD_Connection* connection, void** request_context,
                        MHD_RequestTerminationCode reason);
  static void ConnectionEvent(void* self, MHD_Connection* connection, void** socket_context,
                              MHD_ConnectionNotificationCode event);
  static ssize_t ReadBody(void* context, std::uint64_t position, char* buffer, std::size_t max);
  static void FreeBody(void* context);
};

}  // namespace camsim
