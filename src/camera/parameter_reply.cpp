#include "camera/parameter_reply.h"

#include <algorithm>

#include "camera/value_functions.h"

namespace kalmora {
namespace {

constexpr std::size_t kNpos = std::string_view::npos;
constexpr std::string_view kLineEnds = "\r\n";
// What ends a parameter name in a reply line.
constexpr std::string_view kNameEnds = "\r\n\t =";
// What ends an instance number: the name goes on with "." or the line ends.
constexpr std::string_view kIndexEnds = "\r\n\t .=";
constexpr std::string_view kRangeMin = "rangemin=";
constexpr std::string_view kRangeMax = "rangemax=";

// From begin up to end, or to the end of text when end is kNpos.
std::string_view Span(std::string_view text, std::size_t begin, std::size_t end) {
  return end == kNpos ? text.substr(begin) : text.substr(begin, end - begin);
}

std::string Concat(std::string_view a, std::string_view b, std::string_view c = {},
                   std::string_view d = {}) {
  std::string text;
  text.reserve(a.size() + b.size() + c.size() + d.size());
  text.append(a).append(b).append(c).append(d);
  return text;
}

}  // namespace

std::string ParamsGetRequest(std::string_view key) { return Concat(kParamsGetPath, key); }

std::string ParamsSetRequest(std::string_view key, std::string_view value) {
  return Concat(kParamsSetPath, key, "=", value);
}

std::string ParamsListRequest(std::string_view key_pattern) {
  return Concat(kParamsListPath, key_pattern);
}

std::string ApiParamGetRequest(std::string_view key) { return Concat(kApiParamGetPath, key); }

std::string ApiParamBodyLine(std::string_view key, std::string_view value) {
  return Concat(key, "=", value, "\r\n");
}

std::string FirstMatchValue(std::string_view key, std::string_view separator,
                            std::string_view body) {
  // An empty key would "occur" at the start of every body and answer with its first value.
  if (key.empty() || separator.empty()) return {};
  const std::size_t at = body.find(key);
  if (at == kNpos) return {};
  const std::size_t separator_at = body.find(separator, at + key.size());
  if (separator_at == kNpos) return {};
  const std::size_t value_begin = separator_at + separator.size();
  return std::string(Span(body, value_begin, body.find_first_of(kLineEnds, value_begin)));
}

std::string GetValue(std::string_view key, std::string_view separator, std::string_view body,
                     std::string_view terminators) {
  if (key.empty() || separator.empty() || terminators.empty()) return {};
  std::size_t at = body.find(key);
  while (at != kNpos) {
    const std::size_t line_end = body.find_first_of(terminators, at);
    // Only a separator that begins before the line end counts, so the search stops there.
    const std::string_view searched =
        line_end == kNpos ? body : body.substr(0, line_end + separator.size() - 1);
    const std::size_t separator_at = searched.find(separator, at);
    if (separator_at != kNpos) {
      const std::size_t value_begin = separator_at + separator.size();
      if (value_begin < body.size() && Trim(Span(body, at, separator_at)) == key) {
        // A separator that reaches over the line end leaves nothing of the line as value.
        if (line_end != kNpos && value_begin > line_end) return {};
        return std::string(Span(body, value_begin, line_end));
      }
    }
    if (line_end == kNpos) break;
    // The next line; a key that itself begins with a terminator ends its line where it
    // starts, and must still move on.
    at = body.find(key, std::max(line_end, at + 1));
  }
  return {};
}

COrvaneResponseParser::COrvaneResponseParser(std::string_view reply) : text_(ToLower(reply)) {}

std::ptrdiff_t COrvaneResponseParser::FindKeyEnd(std::string_view key) const {
  const std::string name = ToLower(key);
  if (name.empty()) return -1;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = text_.find(name, from);
    if (at == kNpos) return -1;
    const std::size_t end = text_.find_first_of(kNameEnds, at);
    if (end == kNpos) return -1;
    if (end - at == name.size()) return static_cast<std::ptrdiff_t>(end);
    // A key beginning with a delimiter finds it where the occurrence starts; move on anyway.
    from = std::max(end, at + 1);
  }
}

bool COrvaneResponseParser::GetRange(std::string_view key, int& minimum, int& maximum) const {
  const std::ptrdiff_t key_end = FindKeyEnd(key);
  if (key_end < 0) return false;
  const std::string_view rest = std::string_view(text_).substr(static_cast<std::size_t>(key_end));
  // Only the key's own line: a later parameter's annotations are not this key's range.
  const std::string_view line = Span(rest, 0, rest.find_first_of(kLineEnds));
  const std::size_t min_at = line.find(kRangeMin);
  const std::size_t max_at = line.find(kRangeMax);
  if (min_at == kNpos || max_at == kNpos) return false;
  int low = 0;
  int high = 0;
  if (!ScanDecimal(line.substr(min_at + kRangeMin.size()), low) ||
      !ScanDecimal(line.substr(max_at + kRangeMax.size()), high)) {
    return false;
  }
  minimum = low;
  maximum = high;
  return true;
}

int COrvaneResponseParser::MaxIndex(std::string_view prefix) const {
  const std::string name = ToLower(prefix);
  if (name.empty()) return -1;
  const std::string_view text(text_);
  int highest = -1;
  for (std::size_t at = text.find(name); at != kNpos; at = text.find(name, at + name.size())) {
    const std::size_t number_begin = at + name.size();
    const std::size_t end = text.find_first_of(kIndexEnds, number_begin);
    // No later occurrence can have a delimiter after it either.
    if (end == kNpos) break;
    int index = 0;
    if (ScanDecimal(Span(text, number_begin, end), index)) highest = std::max(highest, index);
  }
  return highest;
}

}  // namespace kalmora
