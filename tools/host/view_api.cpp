#include "view_api.h"

#include <optional>
#include <string_view>
#include <vector>

namespace tessavirn_host {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxPresetNameBytes = 1000;
constexpr int kSlowest = 1;
constexpr int kFastest = 16;

ApiReply Ok(const json& body) { return {200, DumpJson(body)}; }

std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

bool IsJsonContentType(std::string_view type) {
  const std::size_t semicolon = type.find(';');
  std::string_view media = type.substr(0, semicolon);
  while (!media.empty() && media.back() == ' ') media.remove_suffix(1);
  if (media.size() != 16) return false;
  for (std::size_t i = 0; i < media.size(); ++i) {
    const char c = media[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != "application/json"[i]) return false;
  }
  return true;
}

// The body of a POST as a JSON object, or the error answer.
std::optional<json> ParseBody(const ApiRequest& request, ApiReply& error) {
  if (!IsJsonContentType(request.content_type)) {
    error = ApiError(415, "a POST must carry Content-Type: application/json");
    return std::nullopt;
  }
  json body = json::parse(request.body.empty() ? std::string("{}") : request.body, nullptr, false);
  if (body.is_discarded()) {
    error = ApiError(400, "the body is not well-formed JSON");
    return std::nullopt;
  }
  if (!body.is_object()) {
    error = ApiError(400, "the body must be a JSON object");
    return std::nullopt;
  }
  return body;
}

// A string field of the body, or the error answer. Names go to the driver as C strings, so an
// embedded NUL would cut them short.
std::optional<std::string> StringField(const json& body, const char* field, ApiReply& error) {
  const auto it = body.find(field);
  if (it == body.end() || !it->is_string()) {
    error = ApiError(400, std::string("\"") + field + "\" must be a string");
    return std::nullopt;
  }
  std::string text = it->get<std::string>();
  if (text.find('\0') != std::string::npos) {
    error = ApiError(400, std::string("\"") + field + "\" must not contain NUL");
    return std::nullopt;
  }
  if (text.size() > kMaxPresetNameBytes) {
    error = ApiError(400, std::string("\"") + field + "\" is longer than " + std::to_string(kMaxPresetNameBytes) +
                              " bytes");
    return std::nullopt;
  }
  return text;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

ApiReply Refused(const std::string& call, int status) {
  return {409, DumpJson({{"error", "the driver refused " + call + ": " + PtzStatusText(status)}, {"status", status}})};
}

ApiReply PresetReply(const std::string& call, const PresetResult& result) {
  if (result.status != 1) return Refused(call, result.status);
  return Ok({{"presets", result.presets}});
}

ApiReply AnswerPtz(ViewSession& session, const ApiRequest& request, const std::vector<std::string_view>& parts) {
  // parts: api ptz N action [preset-action]
  if (session.PtzChannels() == 0) return ApiError(503, "this camera has no PTZ channel (--param 8)");
  const auto ptz = parts.size() >= 4 ? ParseIndex(parts[2]) : std::nullopt;
  if (!ptz) return ApiError(404, "no such path: " + request.path);
  if (*ptz >= session.PtzChannels()) {
    return ApiError(404, "no PTZ channel " + std::string(parts[2]) + ": the camera has " +
                             std::to_string(session.PtzChannels()));
  }
  const std::string_view action = parts[3];
  const bool presets = action == "presets";
  if (parts.size() > (presets ? 5u : 4u) || (!presets && action != "start" && action != "stop")) {
    return ApiError(404, "no such path: " + request.path);
  }
  if (presets && parts.size() == 4) {
    if (request.method != "GET") return ApiError(405, "presets are read with GET");
    return Ok({{"presets", session.Presets(*ptz).presets}});
  }
  if (request.method != "POST") return ApiError(405, std::string(request.path) + " takes POST");
  ApiReply error;
  const auto body = ParseBody(request, error);
  if (!body) return error;

  if (action == "start") {
    const auto motion_word = StringField(*body, "motion", error);
    if (!motion_word) return error;
    const std::size_t dash = motion_word->find('-');
    const PtzMotion* motion = dash == std::string::npos
                                  ? FindPtzMotion("move", *motion_word)
                                  : FindPtzMotion(motion_word->substr(0, dash), motion_word->substr(dash + 1));
    if (motion == nullptr || (dash != std::string::npos && std::string_view(motion->kind) == "move")) {
      return ApiError(400, "unknown motion " + Quoted(*motion_word) +
                               " (left, right, up, down, upleft, upright, downleft, downright, zoom-in, zoom-out, "
                               "focus-near, focus-far, iris-open, iris-close)");
    }
    const auto speed = body->find("speed");
    if (speed == body->end() || !speed->is_number_integer() || *speed < kSlowest || *speed > kFastest) {
      return ApiError(400, "\"speed\" must be a whole number from 1 to 16");
    }
    const int value = speed->get<int>();
    const int status = session.StartMotion(*ptz, *motion, value);
    if (status != 1) return Refused(PtzCallText(*motion, value), status);
    return Ok({{"status", status}});
  }
  if (action == "stop") {
    const int status = session.StopMotion(*ptz);
    if (status != 1) return Refused("Stop()", status);
    return Ok({{"status", status}});
  }

  const std::string_view verb = parts[4];
  const auto name = StringField(*body, "name", error);
  if (!name) return error;
  if (verb == "add") return PresetReply("AddPreset(" + Quoted(*name) + ")", session.AddPreset(*ptz, *name));
  if (verb == "delete") return PresetReply("DeletePreset(" + Quoted(*name) + ")", session.DeletePreset(*ptz, *name));
  if (verb == "go") {
    const int status = session.GoToPreset(*ptz, *name);
    if (status != 1) return Refused("GoToPreset(0, " + Quoted(*name) + ")", status);
    return Ok({{"status", status}});
  }
  if (verb == "rename") {
    const auto new_name = StringField(*body, "new_name", error);
    if (!new_name) return error;
    return PresetReply("renaming " + Quoted(*name) + " to " + Quoted(*new_name),
                       session.RenamePreset(*ptz, *name, *new_name));
  }
  return ApiError(404, "no such path: " + request.path);
}

ApiReply AnswerOutput(ViewSession& session, const ApiRequest& request, const std::vector<std::string_view>& parts) {
  if (!session.HasIo()) return ApiError(503, "this camera has no digital I/O (--inputs, --outputs)");
  const auto output = parts.size() == 3 ? ParseIndex(parts[2]) : std::nullopt;
  if (!output) return ApiError(404, "no such path: " + request.path);
  if (*output >= session.OutputCount()) {
    return ApiError(404, "no output " + std::string(parts[2]) + ": the camera has " +
                             std::to_string(session.OutputCount()));
  }
  if (request.method != "POST") return ApiError(405, "outputs are switched with POST");
  ApiReply error;
  const auto body = ParseBody(request, error);
  if (!body) return error;
  const auto on = body->find("on");
  if (on == body->end() || !on->is_boolean()) return ApiError(400, "\"on\" must be true or false");
  if (!session.SetOutput(*output, on->get<bool>())) {
    return ApiError(409, "the driver did not take the change of output " + std::to_string(*output));
  }
  return Ok({{"output", *output}, {"on", on->get<bool>()}});
}

}  // namespace

std::optional<std::uint32_t> ParseIndex(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

ApiReply ApiError(int status, const std::string& message) { return {status, DumpJson({{"error", message}})}; }

ApiReply AnswerApi(ViewSession& session, const ApiRequest& request) {
  const std::vector<std::string_view> parts = SplitPath(request.path);
  if (parts.size() < 2 || parts[0] != "api") return ApiError(404, "no such path: " + request.path);
  const std::string_view what = parts[1];
  if (what == "ptz") return AnswerPtz(session, request, parts);
  if (what == "outputs") return AnswerOutput(session, request, parts);
  if ((what == "status" || what == "log") && parts.size() == 2) {
    if (request.method != "GET") return ApiError(405, std::string(request.path) + " is read with GET");
    if (what == "status") return Ok(session.Status());
    const auto since = request.since.empty() ? std::optional<std::uint32_t>(0) : ParseIndex(request.since);
    if (!since) return ApiError(400, "since must be a log position, a whole number");
    return Ok(session.LogSince(*since));
  }
  return ApiError(404, "no such path: " + request.path);
}

}  // namespace tessavirn_host
