// The camera's alarm inputs and relay outputs, and what params/set.cgi requests are logged as
// they arrive: alarm inputs set through the tree, the logs of set requests and output writes,
// /camsim/io and /camsim/sets.
#include <algorithm>
#include <charconv>
#include <optional>

#include "camsim/parameter_interface.h"
#include "camsim/simulator.h"
#include "camsim/simulator_internal.h"

namespace camsim {
namespace {

// A key family: prefix, a decimal number from 1, suffix.
struct KeyShape {
  std::string_view prefix;
  std::string_view suffix;
};

constexpr KeyShape kDetectAlarm{"Cc-1.Input-", ".CcDetectAlarm"};
constexpr KeyShape kCameraAlarm{"Data-1.Status.CameraAlarm", ""};
constexpr KeyShape kSourceName{"Cc-1.Udp-1.SourceSelection.Input", "Source"};
constexpr KeyShape kSourceStatus{"Cc-1.Udp-1.SourceSelection.Input", "Status"};
constexpr KeyShape kRelayMode{"Cc-1.Output-", ".OperationalMode"};
constexpr KeyShape kAuxOut{"Data-1.Status.AuxOut", ""};
constexpr KeyShape kIoShapes[] = {kDetectAlarm, kCameraAlarm, kSourceName,
                                  kSourceStatus, kRelayMode,   kAuxOut};
// What a source selection entry holds when it names alarm input N.
constexpr std::string_view kSourceAlarmPrefix = "Camera Alarm ";
constexpr std::string_view kInputItemPrefix = "input";

// The digits between the shape's prefix and suffix, when key is of that shape.
std::optional<std::string_view> NumberIn(std::string_view key, const KeyShape& shape) {
  if (key.size() <= shape.prefix.size() + shape.suffix.size() || !key.starts_with(shape.prefix) ||
      !key.ends_with(shape.suffix)) {
    return std::nullopt;
  }
  const std::string_view digits = key.substr(
      shape.prefix.size(), key.size() - shape.prefix.size() - shape.suffix.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return digits;
}

bool IsOutputKey(std::string_view key) {
  return NumberIn(key, kRelayMode) || NumberIn(key, kAuxOut);
}

bool IsIoKey(std::string_view key) {
  return std::any_of(std::begin(kIoShapes), std::end(kIoShapes),
                     [key](const KeyShape& shape) { return NumberIn(key, shape).has_value(); });
}

// The keys the tree holds for alarm input n, in tree order.
std::vector<std::string> AlarmInputKeys(const ParameterTree& tree, unsigned n) {
  std::vector<std::string> keys;
  if (n == 0) return keys;
  const std::string number = std::to_string(n);
  const std::string detect_key =
      std::string(kDetectAlarm.prefix) + number + std::string(kDetectAlarm.suffix);
  const std::string camera_key = std::string(kCameraAlarm.prefix) + number;
  const std::string source_value = std::string(kSourceAlarmPrefix) + number;
  for (const Parameter& parameter : tree.parameters()) {
    if (parameter.key == detect_key || parameter.key == camera_key) {
      keys.push_back(parameter.key);
      continue;
    }
    const std::optional<std::string_view> entry = NumberIn(parameter.key, kSourceName);
    if (!entry || parameter.value != source_value) continue;
    std::string status_key =
        std::string(kSourceStatus.prefix) + std::string(*entry) + std::string(kSourceStatus.suffix);
    if (tree.Contains(status_key)) keys.push_back(std::move(status_key));
  }
  return keys;
}

int WriteAlarmInput(ParameterTree& tree, unsigned n, bool active) {
  const std::vector<std::string> keys = AlarmInputKeys(tree, n);
  for (const std::string& key : keys) {
    if (NumberIn(key, kSourceStatus)) {
      tree.SetValue(key, active ? "True" : "False");
    } else {
      tree.SetValue(key, active ? "ON" : "-");
    }
  }
  return static_cast<int>(keys.size());
}

struct InputChange {
  unsigned input = 0;
  bool active = false;
};

// "inputN=active" or "inputN=inactive", N from 1.
std::optional<InputChange> ParseInputItem(std::string_view item) {
  const std::size_t equals = item.find('=');
  if (!item.starts_with(kInputItemPrefix) || equals == std::string_view::npos) return std::nullopt;
  const std::string_view number =
      item.substr(kInputItemPrefix.size(), equals - kInputItemPrefix.size());
  const std::string_view state = item.substr(equals + 1);
  InputChange change;
  const auto [end, error] =
      std::from_chars(number.data(), number.data() + number.size(), change.input);
  if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
      change.input == 0) {
    return std::nullopt;
  }
  if (state != "active" && state != "inactive") return std::nullopt;
  change.active = state == "active";
  return change;
}

}  // namespace

int Simulator::SetAlarmInput(unsigned n, bool active) {
  std::lock_guard lock(mutex_);
  return WriteAlarmInput(tree_, n, active);
}

std::vector<OutputWrite> Simulator::OutputWrites() const {
  std::lock_guard lock(mutex_);
  return {output_writes_.begin(), output_writes_.end()};
}

void Simulator::ClearOutputWrites() {
  std::lock_guard lock(mutex_);
  output_writes_.clear();
}

bool Simulator::WaitForOutputWrites(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return output_writes_.size() >= count; });
}

std::vector<SetRequest> Simulator::SetRequests() const {
  std::lock_guard lock(mutex_);
  return {set_requests_.begin(), set_requests_.end()};
}

void Simulator::ClearSetRequests() {
  std::lock_guard lock(mutex_);
  set_requests_.clear();
}

bool Simulator::WaitForSetRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return set_requests_.size() >= count; });
}

void Simulator::LogSetRequest(const std::string& query) {
  std::vector<OutputWrite> writes;
  for (const std::string& item : SplitQuery(query)) {
    const std::size_t equals = item.find('=');
    if (equals == std::string::npos || !IsOutputKey(std::string_view(item).substr(0, equals))) {
      continue;
    }
    writes.push_back(OutputWrite{0, {}, item.substr(0, equals), item.substr(equals + 1)});
  }
  {
    std::lock_guard lock(mutex_);
    // Sequences and time are taken under the lock, so that both follow the lists' order.
    const auto arrived = std::chrono::steady_clock::now();
    set_requests_.push_back(SetRequest{next_set_sequence_++, arrived, query});
    while (set_requests_.size() > kMaxSetRequests) set_requests_.pop_front();
    for (OutputWrite& write : writes) {
      write.sequence = next_output_sequence_++;
      write.arrived = arrived;
      output_writes_.push_back(std::move(write));
    }
    while (output_writes_.size() > kMaxOutputWrites) output_writes_.pop_front();
  }
  changed_.notify_all();
}

Simulator::Reply Simulator::AnswerIoAdmin(const std::vector<std::string>& items) {
  std::vector<InputChange> changes;
  bool clear = false;
  for (const std::string& item : items) {
    if (item == "clear") {
      clear = true;
      continue;
    }
    const std::optional<InputChange> change = ParseInputItem(item);
    if (!change) {
      return Reply{400, "expected inputN=active|inactive or clear: " + Escape(item) + "\r\n",
                   kTextType};
    }
    changes.push_back(*change);
  }
  std::lock_guard lock(mutex_);
  // Checked before anything is written, so that a refused request changes nothing.
  for (const InputChange& change : changes) {
    if (AlarmInputKeys(tree_, change.input).empty()) {
      return Reply{400, "the profile has no key for input " + std::to_string(change.input) + "\r\n",
                   kTextType};
    }
  }
  for (const InputChange& change : changes) WriteAlarmInput(tree_, change.input, change.active);
  if (clear) output_writes_.clear();
  Reply reply;
  for (const Parameter& parameter : tree_.parameters()) {
    if (IsIoKey(parameter.key)) reply.body += parameter.key + "=" + parameter.value + "\r\n";
  }
  for (const OutputWrite& write : output_writes_) {
    const auto since_start =
        std::chrono::duration_cast<std::chrono::milliseconds>(write.arrived - started_);
    reply.body += "write\t" + std::to_string(write.sequence) + "\t" +
                  std::to_string(since_start.count()) + "\t" + Escape(write.key) + "=" +
                  Escape(write.value) + "\r\n";
  }
  return reply;
}

Simulator::Reply Simulator::AnswerSetsAdmin(const std::vector<std::string>& items) {
  for (const std::string& item : items) {
    if (item != "clear") return Reply{400, "expected clear: " + Escape(item) + "\r\n", kTextType};
  }
  std::lock_guard lock(mutex_);
  if (!items.empty()) set_requests_.clear();
  Reply reply;
  for (const SetRequest& request : set_requests_) {
    const auto since_start =
        std::chrono::duration_cast<std::chrono::milliseconds>(request.arrived - started_);
    reply.body += "set\t" + std::to_string(request.sequence) + "\t" +
                  std::to_string(since_start.count()) + "\t" + Escape(request.query) + "\r\n";
  }
  return reply;
}

}  // namespace camsim
