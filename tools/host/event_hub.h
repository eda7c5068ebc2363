#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tessavirn_host {

// One Server-Sent Event: its name and its data, a line of JSON.
struct HubEvent {
  std::uint64_t sequence = 0;
  std::string name;
  std::string data;
};

// The events the view pushes to its pages: the latest status, input changes as the driver
// reports them, and log entries. Each page reads on from its own cursor; the hub keeps the last
// kKeptEvents, so a page that falls that far behind skips what it missed (the next status
// carries the whole state again). Thread-safe; Close wakes every reader for good.
class EventHub {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kKeptEvents = 1000;
  static constexpr std::size_t kKeptLogEvents = 200;

  void Publish(const std::string& name, std::string data);
  // The status event is kept apart too: a page that connects gets it first.
  void PublishStatus(std::string data);

  // What a page that connects now gets first: the latest status and the last log entries; sets
  // cursor to where it reads on.
  std::vector<HubEvent> Welcome(std::uint64_t& cursor) const;
  // The events after cursor, waiting for one until deadline; advances cursor. Empty after Close
  // or when none came in time.
  std::vector<HubEvent> WaitAfter(std::uint64_t& cursor, Clock::time_point deadline);

  void Close();
  bool closed() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable published_;
  std::deque<HubEvent> events_;      // the last kKeptEvents, by sequence
  std::deque<HubEvent> log_events_;  // the last kKeptLogEvents log entries
  HubEvent status_;                  // sequence 0: none yet
  std::uint64_t next_ = 1;
  bool closed_ = false;
};

// An event as the event stream carries it: "event: NAME\ndata: DATA\n\n". Line breaks in data
// would end the field, so each line of data becomes a data line of its own.
std::string FormatServerSentEvent(const HubEvent& event);

}  // namespace tessavirn_host
