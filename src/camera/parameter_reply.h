// Camera parameter requests and the lookups that take their replies apart.
//
// A reply body holds one parameter a line, key "=" value, each line ending in CR LF; a wildcard
// read gives one line per matching parameter, and list requests add "rangemin=" and "rangemax="
// annotations after the value. Every lookup answers a missing key, separator or body with an
// empty text, -1 or false; none throws or reads outside the reply.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kalmora {

// Object names handed to the HTTP layer; the verb is GET unless stated.
// Older interface: read one parameter or, with "*" wildcards, every matching one.
inline constexpr std::string_view kParamsGetPath = "params/get.cgi?";
// Older interface: write one parameter as key "=" value.
inline constexpr std::string_view kParamsSetPath = "params/set.cgi?";
// Older interface: parameters with their value ranges.
inline constexpr std::string_view kParamsListPath = "params/list.cgi?";
// Newer interface: read, wildcards allowed.
inline constexpr std::string_view kApiParamGetPath = "api/param.cgi?req=";
// Newer interface: POST target whose body holds key "=" value CR LF lines.
inline constexpr std::string_view kApiParamPostPath = "/api/param.cgi";

std::string ParamsGetRequest(std::string_view key);
std::string ParamsSetRequest(std::string_view key, std::string_view value);
std::string ParamsListRequest(std::string_view key_pattern);
std::string ApiParamGetRequest(std::string_view key);
// One line of a POST body to kApiParamPostPath.
std::string ApiParamBodyLine(std::string_view key, std::string_view value);

// First-match lookup: the first occurrence of key anywhere in body (case-sensitive substring),
// the first separator after it, and the text after that separator up to the next CR or LF or
// the end of body. Empty when not found.
std::string FirstMatchValue(std::string_view key, std::string_view separator,
                            std::string_view body);

// Exact-name lookup: the value of the line whose name, from where key occurs up to the
// separator and without surrounding spaces and tabs, equals key, up to the first character of
// terminators. So "Cc-1.Input-1.DeviceName" does not take the line of
// "Cc-1.Input-10.DeviceName", while a key that is the tail of a longer name matches from where
// it occurs. Users pass "=" and "\r\n". Empty when not found or when the separator ends the body.
std::string GetValue(std::string_view key, std::string_view separator, std::string_view body,
                     std::string_view terminators);

// Presence tests, value ranges and instance counting on a reply, all case-insensitive: the
// reply and every key are compared in lower case. Built from a received body, used on the
// thread that received it and then discarded.
class COrvaneResponseParser {
 public:
  explicit COrvaneResponseParser(std::string_view reply);
  virtual ~COrvaneResponseParser() = default;

  // Position of the CR, LF, TAB, space or "=" that directly follows an occurrence of key, or
  // -1. Occurrences that go on with further name characters are passed over.
  std::ptrdiff_t FindKeyEnd(std::string_view key) const;
  bool HasKey(std::string_view key) const { return FindKeyEnd(key) != -1; }
  // The "rangemin=%d" and "rangemax=%d" annotations on the rest of key's own line. True only
  // when both are read; minimum and maximum are written only then.
  bool GetRange(std::string_view key, int& minimum, int& maximum) const;
  // Highest instance number written directly after prefix anywhere in the reply (as in
  // "Data-1.Ptz-2.CameraId" for prefix "Data-1.Ptz-"), or -1 when there is none.
  int MaxIndex(std::string_view prefix) const;

 private:
  std::string text_;
};

}  // namespace kalmora
