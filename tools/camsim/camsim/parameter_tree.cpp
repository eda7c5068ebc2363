#include "camsim/parameter_tree.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace camsim {
namespace {

constexpr std::string_view kRangeMin = "rangemin=";
constexpr std::string_view kRangeMax = "rangemax=";
constexpr std::string_view kDirectivePrefix = "#!";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::string_view Trim(std::string_view text) {
  text = TrimRight(text);
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

std::optional<std::int64_t> ParseInteger(std::string_view text) {
  std::int64_t value = 0;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (!text.empty() && text.front() == '+') ++begin;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || begin == end) return std::nullopt;
  return value;
}

std::optional<int> ParseStatus(std::string_view text) {
  const std::optional<std::int64_t> status = ParseInteger(text);
  if (!status || *status < 100 || *status > 599) return std::nullopt;
  return static_cast<int>(*status);
}

// A key the camera could hold: no blanks and none of the characters that requests use as
// syntax.
bool IsValidKey(std::string_view key) {
  if (key.empty()) return false;
  for (char c : key) {
    if (IsBlank(c) || c == '*' || c == '&' || c == '=' || c == '?') return false;
  }
  return true;
}

std::string LineError(std::size_t line_number, const std::string& what) {
  return "line " + std::to_string(line_number) + ": " + what;
}

// Splits the trailing range annotations off a profile value.
bool SplitAnnotations(std::string_view rest, Parameter* parameter, std::string* what) {
  rest = TrimRight(rest);
  for (;;) {
    const std::size_t blank = rest.find_last_of(" \t");
    const std::string_view token = blank == std::string_view::npos ? rest : rest.substr(blank + 1);
    std::optional<std::int64_t>* slot = nullptr;
    std::string_view number;
    if (token.starts_with(kRangeMin)) {
      slot = &parameter->range_min;
      number = token.substr(kRangeMin.size());
    } else if (token.starts_with(kRangeMax)) {
      slot = &parameter->range_max;
      number = token.substr(kRangeMax.size());
    } else {
      break;
    }
    const std::optional<std::int64_t> value = ParseInteger(number);
    if (!value) {
      *what = "range annotation is not a decimal integer: " + std::string(token);
      return false;
    }
    if (slot->has_value()) {
      *what = "range annotation given twice: " + std::string(token);
      return false;
    }
    *slot = value;
    if (blank == std::string_view::npos) {
      rest = {};
      break;
    }
    rest = TrimRight(rest.substr(0, blank));
  }
  parameter->value = std::string(rest);
  return true;
}

}  // namespace

bool MatchesWildcard(std::string_view pattern, std::string_view text) {
  // Greedy matching with one backtracking point: the last '*' seen absorbs one more character
  // whenever the rest fails, which is enough because '*' is the only metacharacter.
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = std::string_view::npos;
  std::size_t star_text = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_text = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool ParameterTree::LoadText(std::string_view text, std::string* error) {
  std::vector<Parameter> parameters;
  std::unordered_map<std::string, std::size_t> seen;
  std::vector<std::string> read_only_patterns;
  std::vector<WildcardRule> wildcard_rules;
  int unknown_key_status = 200;
  std::size_t line_number = 0;
  std::string what;

  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    line = TrimRight(line);
    if (Trim(line).empty()) continue;

    if (line.starts_with(kDirectivePrefix)) {
      std::istringstream directive{std::string(line.substr(kDirectivePrefix.size()))};
      std::string name;
      std::string argument;
      std::string status_text;
      directive >> name >> argument >> status_text;
      if (name == "unknown-key-status") {
        const std::optional<int> status = ParseStatus(argument);
        if (!status) {
          if (error) *error = LineError(line_number, "unknown-key-status needs an HTTP status");
          return false;
        }
        unknown_key_status = *status;
      } else if (name == "read-only" && !argument.empty()) {
        read_only_patterns.push_back(argument);
      } else if (name == "wildcard-status") {
        const std::optional<int> status = ParseStatus(status_text);
        if (argument.empty() || !status) {
          if (error) {
            *error = LineError(line_number, "wildcard-status needs a pattern and an HTTP status");
          }
          return false;
        }
        wildcard_rules.push_back(WildcardRule{argument, *status});
      } else {
        if (error) *error = LineError(line_number, "unknown directive: " + std::string(line));
        return false;
      }
      continue;
    }
    if (line.front() == '#') continue;

    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      if (error) *error = LineError(line_number, "no '=' in parameter line");
      return false;
    }
    Parameter parameter;
    parameter.key = std::string(Trim(line.substr(0, equals)));
    if (!IsValidKey(parameter.key)) {
      if (error) *error = LineError(line_number, "invalid key: " + parameter.key);
      return false;
    }
    if (!SplitAnnotations(line.substr(equals + 1), &parameter, &what)) {
      if (error) *error = LineError(line_number, what);
      return false;
    }
    if (!seen.emplace(parameter.key, parameters.size()).second) {
      if (error) *error = LineError(line_number, "key listed twice: " + parameter.key);
      return false;
    }
    parameters.push_back(std::move(parameter));
  }

  for (Parameter& parameter : parameters) {
    for (const std::string& pattern : read_only_patterns) {
      if (MatchesWildcard(pattern, parameter.key)) parameter.read_only = true;
    }
  }
  parameters_ = std::move(parameters);
  unknown_key_status_ = unknown_key_status;
  wildcard_rules_ = std::move(wildcard_rules);
  RebuildIndex();
  return true;
}

bool ParameterTree::LoadFile(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error) *error = "cannot open profile " + path;
    return false;
  }
  std::ostringstream content;
  content << file.rdbuf();
  std::string line_error;
  if (!LoadText(content.str(), &line_error)) {
    if (error) *error = path + ": " + line_error;
    return false;
  }
  return true;
}

std::vector<Parameter> ParameterTree::Find(std::string_view request_key) const {
  std::vector<Parameter> found;
  if (request_key.empty()) return found;
  if (request_key.find('*') == std::string_view::npos) {
    for (const Parameter& parameter : parameters_) {
      const std::string_view key = parameter.key;
      if (key == request_key || (key.size() > request_key.size() && key.starts_with(request_key) &&
                                 key[request_key.size()] == '.')) {
        found.push_back(parameter);
      }
    }
    return found;
  }
  const std::string subtree = std::string(request_key) + ".*";
  for (const Parameter& parameter : parameters_) {
    if (MatchesWildcard(request_key, parameter.key) || MatchesWildcard(subtree, parameter.key)) {
      found.push_back(parameter);
    }
  }
  return found;
}

std::optional<int> ParameterTree::WildcardStatus(std::string_view request_key) const {
  if (request_key.find('*') == std::string_view::npos) return std::nullopt;
  for (const WildcardRule& rule : wildcard_rules_) {
    if (MatchesWildcard(rule.pattern, request_key)) return rule.status;
  }
  return std::nullopt;
}

const Parameter* ParameterTree::Lookup(std::string_view key) const {
  const auto it = index_.find(std::string(key));
  return it == index_.end() ? nullptr : &parameters_[it->second];
}

bool ParameterTree::IsWritable(std::string_view key) const {
  const Parameter* parameter = Lookup(key);
  return parameter != nullptr && !parameter->read_only;
}

bool ParameterTree::SetValue(std::string_view key, std::string_view value) {
  const auto it = index_.find(std::string(key));
  if (it == index_.end()) return false;
  parameters_[it->second].value = std::string(value);
  return true;
}

void ParameterTree::Put(std::string_view key, std::string_view value) {
  if (SetValue(key, value)) return;
  Parameter parameter;
  parameter.key = std::string(key);
  parameter.value = std::string(value);
  index_.emplace(parameter.key, parameters_.size());
  parameters_.push_back(std::move(parameter));
}

bool ParameterTree::Remove(std::string_view key) {
  const auto it = index_.find(std::string(key));
  if (it == index_.end()) return false;
  parameters_.erase(parameters_.begin() + static_cast<std::ptrdiff_t>(it->second));
  RebuildIndex();
  return true;
}

std::string ParameterTree::FormatLine(const Parameter& parameter, bool with_ranges) {
  std::string line = parameter.key + "=" + parameter.value;
  if (with_ranges) {
    // A tab keeps the annotations apart from values that contain spaces.
    if (parameter.range_min)
      line += "\t" + std::string(kRangeMin) + std::to_string(*parameter.range_min);
    if (parameter.range_max)
      line += "\t" + std::string(kRangeMax) + std::to_string(*parameter.range_max);
  }
  line += "\r\n";
  return line;
}

void ParameterTree::RebuildIndex() {
  index_.clear();
  for (std::size_t i = 0; i < parameters_.size(); ++i) index_.emplace(parameters_[i].key, i);
}

}  // namespace camsim
