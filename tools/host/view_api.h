#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "view_session.h"

namespace tessavirn_host {

struct ApiRequest {
  std::string method;  // "GET", "POST", ...
  std::string path;    // "/api/..."
  std::string since;   // the query's since= (GET /api/log), empty when not given
  std::string content_type;
  std::string body;
};

struct ApiReply {
  int status = 200;
  std::string body;  // JSON
};

// The largest request body taken.
inline constexpr std::size_t kMaxApiBodyBytes = 64 * 1024;

// Answers one request of the JSON API under /api/ other than the pictures and the event stream:
// status, log, PTZ and presets, outputs. Every answer is a JSON object; an error is
// {"error": "..."} with a 4xx status: 400 malformed JSON or a missing or wrong field, 404 an
// unknown path or channel, 405 a wrong method, 409 the driver refused, 415 a POST whose body is
// not declared as JSON, 503 the camera has no PTZ or I/O. A POST must be declared
// application/json, which a page of another site cannot send without the browser asking first.
ApiReply AnswerApi(ViewSession& session, const ApiRequest& request);

// A channel, output or log position in a path: decimal digits only, at most nine of them.
std::optional<std::uint32_t> ParseIndex(std::string_view text);

// An error answer: {"error": message}.
ApiReply ApiError(int status, const std::string& message);

}  // namespace tessavirn_host
