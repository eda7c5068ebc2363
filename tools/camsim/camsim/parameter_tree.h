#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace camsim {

// One camera parameter: a dot-separated key, its value as the camera writes it, and the value
// range the camera announces in list replies.
struct Parameter {
  std::string key;
  std::string value;
  std::optional<std::int64_t> range_min;
  std::optional<std::int64_t> range_max;
  bool read_only = false;
};

// True when text matches pattern, where '*' stands for any run of characters (also none) and
// every other character stands for itself, case-sensitively.
bool MatchesWildcard(std::string_view pattern, std::string_view text);

// The camera's parameter tree in the order the profile lists it; replies list parameters in that
// order, as the camera does.
//
// A profile is written in the camera's reply format, one "key=value" line per parameter, with
// optional " rangemin=N" and " rangemax=N" annotations after the value (space or tab before
// each). Lines starting with '#' are comments, except the simulator directives:
//   #! unknown-key-status N   status of requests that name no known key (default 200, empty body)
//   #! read-only PATTERN      writes to matching keys are refused like writes to unknown keys
//   #! wildcard-status PATTERN N   a read naming a key with '*' that PATTERN matches answers
//                             status N (401 with the camera's challenge); the same keys read one
//                             by one answer as usual. PATTERN is matched against the key as the
//                             request writes it, its '*' an ordinary character there:
//                             "Data-1.Ptz-*.CameraId" matches the request key
//                             "Data-1.Ptz-*.CameraId" but not "Data-1.Ptz-1.*".
//
// Not thread-safe: the simulator guards its tree with its own lock.
class ParameterTree {
 public:
  // Replaces the tree. On a malformed profile the tree is left unchanged, false is returned and
  // error names the line.
  bool LoadText(std::string_view text, std::string* error);
  bool LoadFile(const std::string& path, std::string* error);

  // Every parameter a read request for request_key answers, in tree order: the key itself, the
  // keys below it (request "General.Brand" answers "General.Brand.CompanyName"), and with '*'
  // every key the pattern matches, or whose leading path elements it matches.
  std::vector<Parameter> Find(std::string_view request_key) const;

  const Parameter* Lookup(std::string_view key) const;
  bool Contains(std::string_view key) const { return Lookup(key) != nullptr; }
  // Whether a camera write of key would be accepted: the key exists and is not read-only.
  bool IsWritable(std::string_view key) const;
  // Changes an existing parameter's value; false for an unknown key. Read-only flags are for
  // camera writes; callers check IsWritable first.
  bool SetValue(std::string_view key, std::string_view value);
  // Adds a parameter at the end of the tree, or changes the value of an existing one.
  void Put(std::string_view key, std::string_view value);
  bool Remove(std::string_view key);

  const std::vector<Parameter>& parameters() const { return parameters_; }
  std::size_t size() const { return parameters_.size(); }
  int unknown_key_status() const { return unknown_key_status_; }
  void set_unknown_key_status(int status) { unknown_key_status_ = status; }
  // The status of the first wildcard-status directive that matches request_key, when the key
  // holds a '*'.
  std::optional<int> WildcardStatus(std::string_view request_key) const;

  // The reply line of one parameter, CR LF included; with_ranges adds the range annotations of
  // list replies.
  static std::string FormatLine(const Parameter& parameter, bool with_ranges);

 private:
  struct WildcardRule {
    std::string pattern;
    int status = 0;
  };

  void RebuildIndex();

  std::vector<Parameter> parameters_;
  std::unordered_map<std::string, std::size_t> index_;
  int unknown_key_status_ = 200;
  std::vector<WildcardRule> wildcard_rules_;
};

}  // namespace camsim
