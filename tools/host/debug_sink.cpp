#include "debug_sink.h"

namespace tessavirn_host {

void DebugSink::ReceiveDebugInfo(CDebugInfoIf* info) {
  if (info == nullptr) return;
  LogEntry entry;
  entry.level = info->GetLevel();
  const char* text = info->GetText();
  entry.text_was_null = text == nullptr;
  if (text != nullptr) entry.text = text;
  std::lock_guard<std::mutex> lock(mutex_);
  if (echo_ != nullptr) {
    std::fprintf(echo_, "%s\n", FormatLogEntry(entry).c_str());
    std::fflush(echo_);
  }
  entries_.push_back(std::move(entry));
}

std::vector<LogEntry> DebugSink::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::size_t DebugSink::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

std::vector<LogEntry> DebugSink::EntriesFrom(std::size_t first) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (first >= entries_.size()) return {};
  return {entries_.begin() + static_cast<std::ptrdiff_t>(first), entries_.end()};
}

std::vector<LogEntry> DebugSink::Find(const std::string& needle) const {
  std::vector<LogEntry> found;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& e : entries_) {
    if (e.text.find(needle) != std::string::npos) found.push_back(e);
  }
  return found;
}

std::string FormatLogEntry(const LogEntry& entry) {
  return "[level " + std::to_string(static_cast<unsigned>(entry.level)) + "] " + entry.text;
}

void LogPrinter::PrintNew() {
  for (const auto& entry : sink_.EntriesFrom(printed_)) {
    line_(FormatLogEntry(entry));
    ++printed_;
  }
}

}  // namespace tessavirn_host
