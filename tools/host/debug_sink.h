#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "host/debug.h"

namespace tessavirn_host {

struct LogEntry {
  std::uint8_t level = 0;
  std::string text;
  bool text_was_null = false;
};

// Records every entry the driver logs, and prints it with its level when given a stream.
// Called from several driver threads at once.
class DebugSink final : public kalmora::ipcapture::IDebugMessageSink {
 public:
  explicit DebugSink(std::FILE* echo = nullptr) : echo_(echo) {}

  void ReceiveDebugInfo(CDebugInfoIf* info) override;

  std::vector<LogEntry> Entries() const;
  // The entries from position first on, in the order they arrived (empty when there are none).
  std::vector<LogEntry> EntriesFrom(std::size_t first) const;
  // Entries whose text contains needle.
  std::vector<LogEntry> Find(const std::string& needle) const;

 private:
  std::FILE* echo_;
  mutable std::mutex mutex_;
  std::vector<LogEntry> entries_;
};

// A log entry as the commands print it: "[level N] text".
std::string FormatLogEntry(const LogEntry& entry);

}  // namespace tessavirn_host
