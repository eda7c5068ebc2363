#include "camsim/faults.h"

#include <array>
#include <charconv>
#include <limits>
#include <utility>

namespace camsim {
namespace {

constexpr std::array<std::pair<FaultKind, std::string_view>, 8> kKindNames = {{
    {FaultKind::kDelay, "delay"},
    {FaultKind::kStall, "stall"},
    {FaultKind::kStatus, "status"},
    {FaultKind::kCloseMidReply, "close"},
    {FaultKind::kRejectCredentials, "reject-auth"},
    {FaultKind::kChunked, "chunked"},
    {FaultKind::kCloseDelimited, "close-delimited"},
    {FaultKind::kDrop, "drop"},
}};

// A field that fits the int fields of a fault.
std::optional<int> ParseNumber(std::string_view text) {
  const std::optional<std::int64_t> value = ParseFaultNumber(text);
  if (!value || *value < std::numeric_limits<int>::min() || *value > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(*value);
}

}  // namespace

std::vector<std::string_view> SplitFaultFields(std::string_view text) {
  std::vector<std::string_view> fields;
  while (true) {
    const std::size_t colon = text.find(':');
    fields.push_back(text.substr(0, colon));
    if (colon == std::string_view::npos) break;
    text.remove_prefix(colon + 1);
  }
  return fields;
}

std::optional<std::int64_t> ParseFaultNumber(std::string_view field) {
  std::int64_t value = 0;
  const auto [ptr, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (field.empty() || ec != std::errc() || ptr != field.data() + field.size()) return std::nullopt;
  return value;
}

const char* const kFaultHelp =
    "KIND[:PATTERN[:VALUE[:COUNT]]]. PATTERN matches the request target without its leading '/'\n"
    "('*' for any run of characters; default '*'); COUNT limits the fault to that many requests\n"
    "(default: every request). KIND is one of\n"
    "  delay            wait VALUE ms before answering\n"
    "  stall            send half of the body, then nothing for VALUE ms\n"
    "  status           answer with HTTP status VALUE\n"
    "  close            send half of the body, then close the connection\n"
    "  reject-auth      refuse the credentials as wrong (401 and a new challenge)\n"
    "  chunked          answer without Content-Length, chunked\n"
    "  close-delimited  answer without Content-Length, closing the connection after the body\n"
    "  drop             close the connection without answering\n"
    "A delay or stall ends early when the client closes its connection. PATTERN matches the\n"
    "query too, as sent ('?' is an ordinary character), so PTZ commands can be made slow:\n"
    "delay:params/set.cgi?Data-1.Ptz-*:3000\n"
    "Example: status:params/set.cgi*:500:1";

std::string_view FaultKindName(FaultKind kind) {
  for (const auto& [k, name] : kKindNames) {
    if (k == kind) return name;
  }
  return "?";
}

std::optional<FaultKind> ParseFaultKind(std::string_view name) {
  for (const auto& [kind, kind_name] : kKindNames) {
    if (kind_name == name) return kind;
  }
  return std::nullopt;
}

std::optional<Fault> ParseFault(std::string_view text, std::string* error) {
  const std::vector<std::string_view> fields = SplitFaultFields(text);
  auto fail = [error](std::string what) -> std::optional<Fault> {
    if (error) *error = std::move(what);
    return std::nullopt;
  };
  if (fields.size() > 4) return fail("too many ':' fields");
  Fault fault;
  const std::optional<FaultKind> kind = ParseFaultKind(fields[0]);
  if (!kind) return fail("unknown fault kind '" + std::string(fields[0]) + "'");
  fault.kind = *kind;
  if (fields.size() > 1 && !fields[1].empty()) fault.pattern = std::string(fields[1]);
  if (fields.size() > 2 && !fields[2].empty()) {
    const std::optional<int> value = ParseNumber(fields[2]);
    if (!value || *value < 0) return fail("fault value is not a number: " + std::string(fields[2]));
    fault.value = *value;
  }
  if (fields.size() > 3 && !fields[3].empty()) {
    const std::optional<int> count = ParseNumber(fields[3]);
    if (!count || *count < 1) return fail("fault count is not a positive number");
    fault.count = *count;
  }
  if (fault.kind == FaultKind::kStatus && (fault.value < 100 || fault.value > 599)) {
    return fail("a status fault needs a status from 100 to 599");
  }
  return fault;
}

std::string FormatFault(const Fault& fault) {
  std::string text = std::string(FaultKindName(fault.kind)) + ":" + fault.pattern + ":" +
                     std::to_string(fault.value);
  if (fault.count >= 0) text += ":" + std::to_string(fault.count);
  return text;
}

}  // namespace camsim
