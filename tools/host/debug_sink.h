#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
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
  // How many entries have arrived so far: a mark for EntriesFrom.
  std::size_t Count() const;
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

// Hands the sink's entries that arrived since the last call, formatted, to line. Used from one
// thread (the command's main thread), so driver threads never write to the console themselves.
class LogPrinter {
 public:
  // The sink outlives the printer.
  LogPrinter(const DebugSink& sink, std::function<void(const std::string&)> line)
      : sink_(sink), line_(std::move(line)) {}
  void PrintNew();

 private:
  const DebugSink& sink_;
  std::function<void(const std::string&)> line_;
  std::size_t printed_ = 0;
};

}  // namespace tessavirn_host
