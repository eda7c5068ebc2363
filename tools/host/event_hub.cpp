#include "event_hub.h"

#include <algorithm>
#include <utility>

namespace tessavirn_host {

void EventHub::Publish(const std::string& name, std::string data) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    HubEvent event{next_++, name, std::move(data)};
    if (name == "log") {
      log_events_.push_back(event);
      if (log_events_.size() > kKeptLogEvents) log_events_.pop_front();
    }
    events_.push_back(std::move(event));
    if (events_.size() > kKeptEvents) events_.pop_front();
  }
  published_.notify_all();
}

void EventHub::PublishStatus(std::string data) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    status_ = {next_, "status", data};
  }
  Publish("status", std::move(data));
}

std::vector<HubEvent> EventHub::Welcome(std::uint64_t& cursor) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<HubEvent> first;
  if (status_.sequence != 0) first.push_back(status_);
  first.insert(first.end(), log_events_.begin(), log_events_.end());
  cursor = next_ - 1;
  return first;
}

std::vector<HubEvent> EventHub::WaitAfter(std::uint64_t& cursor, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  published_.wait_until(lock, deadline, [&] { return closed_ || next_ - 1 > cursor; });
  std::vector<HubEvent> after;
  if (closed_) return after;
  for (const HubEvent& event : events_) {
    if (event.sequence > cursor) after.push_back(event);
  }
  cursor = next_ - 1;
  return after;
}

void EventHub::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  published_.notify_all();
}

bool EventHub::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

std::string FormatServerSentEvent(const HubEvent& event) {
  std::string text = "event: " + event.name + "\n";
  std::size_t start = 0;
  while (true) {
    std::size_t end = event.data.find_first_of("\r\n", start);
    text += "data: " + event.data.substr(start, end == std::string::npos ? std::string::npos : end - start) + "\n";
    if (end == std::string::npos) break;
    if (event.data[end] == '\r' && end + 1 < event.data.size() && event.data[end + 1] == '\n') ++end;
    start = end + 1;
  }
  return text + "\n";
}

}  // namespace tessavirn_host
