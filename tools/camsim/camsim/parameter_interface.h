#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "camsim/parameter_tree.h"

namespace camsim {

// The camera's HTTP parameter interface, apart from the transport: both generations of
// requests, answered from and applied to a parameter tree.
//
// Older generation:  GET params/get.cgi?KEY[&KEY...]     one "key=value" line per match
//                    GET params/list.cgi?KEY[&KEY...]    the same with range annotations
//                    GET params/set.cgi?K=V[&K=V...]     writes, echoing the written lines
// Newer generation:  GET api/param.cgi?req=KEY[&req=KEY...]
//                    POST api/param.cgi with "K=V" CR LF lines
//
// A request that names no known key answers 200 with an empty body, or the profile's
// unknown-key status. A write naming an unknown or read-only key is refused as a whole with that
// status when it is not 200; with 200 the known keys are written and only they are echoed. A
// read naming a key with '*' that a wildcard-status directive matches answers that directive's
// status with an empty body, whatever else it names.

struct ParameterRequest {
  std::string method;  // "GET", "POST", ...
  std::string path;    // without leading '/' and without query: "params/get.cgi"
  std::string query;   // raw, undecoded text after '?'
  std::string body;
};

struct ParameterReply {
  int status = 200;
  std::string body;
};

// Splits a request target into path (leading '/' removed, so "/params/..." and "params/..."
// name the same resource) and raw query.
std::pair<std::string, std::string> SplitTarget(std::string_view target);

// Decodes %XX escapes and '+' (a space in CGI queries). Malformed escapes stay as written.
std::string PercentDecode(std::string_view text);

// The decoded '&'-separated items of a query, empty items dropped.
std::vector<std::string> SplitQuery(std::string_view query);

// Whether path belongs to the parameter interface.
bool IsParameterPath(std::string_view path);

// Answers one request of the parameter interface; writes change tree. The caller holds the
// tree's lock.
ParameterReply HandleParameterRequest(ParameterTree& tree, const ParameterRequest& request);

}  // namespace camsim
