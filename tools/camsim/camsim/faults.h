#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

// HTTP faults the simulator injects, each for requests whose target (without the leading '/',
// query included, undecoded) matches a '*' pattern.
enum class FaultKind {
  kDelay,              // wait value ms before answering
  kStall,              // send part of the body, then stop sending for value ms
  kStatus,             // answer with status value and a short text body instead
  kCloseMidReply,      // send part of the body, then close the connection
  kRejectCredentials,  // refuse the credentials as if they were wrong (401 with a challenge)
  kChunked,            // no Content-Length: chunked transfer coding
  kCloseDelimited,     // no Content-Length: the body ends when the connection closes
  kDrop,               // after any delays, close the connection without answering at all
};

struct Fault {
  FaultKind kind = FaultKind::kDelay;
  std::string pattern = "*";
  int value = 0;   // milliseconds for kDelay and kStall, the status for kStatus
  int count = -1;  // requests it still applies to; -1 for every request
};

std::string_view FaultKindName(FaultKind kind);
std::optional<FaultKind> ParseFaultKind(std::string_view name);

// Parses "KIND[:PATTERN[:VALUE[:COUNT]]]", e.g. "delay:params/*:500" or "status:api/*:503:1".
// Returns nullopt with a reason in error for a malformed text.
std::optional<Fault> ParseFault(std::string_view text, std::string* error);
// The same text form.
std::string FormatFault(const Fault& fault);

// What the HTTP and the media fault texts share: the ':' fields of a text (at least one), and a
// field that is a whole decimal number, nothing else, within 64 bits.
std::vector<std::string_view> SplitFaultFields(std::string_view text);
std::optional<std::int64_t> ParseFaultNumber(std::string_view field);

// The grammar for --help and the admin path.
extern const char* const kFaultHelp;

}  // namespace camsim
