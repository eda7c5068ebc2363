#include "camsim/parameter_interface.h"

namespace camsim {
namespace {

constexpr std::string_view kGetPath = "params/get.cgi";
constexpr std::string_view kListPath = "params/list.cgi";
constexpr std::string_view kSetPath = "params/set.cgi";
constexpr std::string_view kApiPath = "api/param.cgi";
constexpr std::string_view kRequestArgument = "req=";
constexpr int kMethodNotAllowed = 405;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct Assignment {
  std::string key;
  std::string value;
  bool well_formed = false;
};

Assignment ParseAssignment(std::string_view item) {
  Assignment assignment;
  const std::size_t equals = item.find('=');
  if (equals == std::string_view::npos || equals == 0) {
    assignment.key = std::string(item);
    return assignment;
  }
  assignment.key = std::string(item.substr(0, equals));
  assignment.value = std::string(item.substr(equals + 1));
  assignment.well_formed = true;
  return assignment;
}

ParameterReply Read(const ParameterTree& tree, const std::vector<std::string>& keys,
                    bool with_ranges) {
  ParameterReply reply;
  // A camera that refuses a wildcard refuses the whole request, whatever else it names.
  for (const std::string& key : keys) {
    if (const std::optional<int> status = tree.WildcardStatus(key)) {
      reply.status = *status;
      return reply;
    }
  }
  bool matched = false;
  for (const std::string& key : keys) {
    for (const Parameter& parameter : tree.Find(key)) {
      reply.body += ParameterTree::FormatLine(parameter, with_ranges);
      matched = true;
    }
  }
  if (!matched) reply.status = tree.unknown_key_status();
  return reply;
}

ParameterReply Write(ParameterTree& tree, const std::vector<Assignment>& assignments) {
  ParameterReply reply;
  const int refused_status = tree.unknown_key_status();
  bool any_refused = assignments.empty();
  for (const Assignment& assignment : assignments) {
    if (!assignment.well_formed || !tree.IsWritable(assignment.key)) any_refused = true;
  }
  // A camera that knows an error status for unknown keys rejects the whole write before
  // changing anything.
  if (any_refused && refused_status != 200) {
    reply.status = refused_status;
    return reply;
  }
  for (const Assignment& assignment : assignments) {
    if (!assignment.well_formed || !tree.IsWritable(assignment.key)) continue;
    tree.SetValue(assignment.key, assignment.value);
    reply.body += assignment.key + "=" + assignment.value + "\r\n";
  }
  return reply;
}

std::vector<Assignment> BodyAssignments(std::string_view body) {
  std::vector<Assignment> assignments;
  while (!body.empty()) {
    const std::size_t end = body.find('\n');
    std::string_view line = body.substr(0, end);
    body = end == std::string_view::npos ? std::string_view{} : body.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    assignments.push_back(ParseAssignment(line));
  }
  return assignments;
}

}  // namespace

std::pair<std::string, std::string> SplitTarget(std::string_view target) {
  const std::size_t question = target.find('?');
  std::string_view path = target.substr(0, question);
  const std::string_view query =
      question == std::string_view::npos ? std::string_view{} : target.substr(question + 1);
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  return {std::string(path), std::string(query)};
}

std::string PercentDecode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      decoded += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      decoded += c;
    }
  }
  return decoded;
}

std::vector<std::string> SplitQuery(std::string_view query) {
  std::vector<std::string> items;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    if (!item.empty()) items.push_back(PercentDecode(item));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return items;
}

bool IsParameterPath(std::string_view path) {
  return path == kGetPath || path == kListPath || path == kSetPath || path == kApiPath;
}

ParameterReply HandleParameterRequest(ParameterTree& tree, const ParameterRequest& request) {
  const bool is_get = request.method == "GET";
  if (request.path == kApiPath && request.method == "POST") {
    return Write(tree, BodyAssignments(request.body));
  }
  if (!is_get) return ParameterReply{kMethodNotAllowed, {}};

  const std::vector<std::string> items = SplitQuery(request.query);
  if (request.path == kGetPath || request.path == kListPath) {
    return Read(tree, items, request.path == kListPath);
  }
  if (request.path == kSetPath) {
    std::vector<Assignment> assignments;
    for (const std::string& item : items) assignments.push_back(ParseAssignment(item));
    return Write(tree, assignments);
  }
  if (request.path == kApiPath) {
    std::vector<std::string> keys;
    for (const std::string& item : items) {
      if (item.starts_with(kRequestArgument)) keys.push_back(item.substr(kRequestArgument.size()));
    }
    return Read(tree, keys, false);
  }
  return ParameterReply{404, {}};
}

}  // namespace camsim
