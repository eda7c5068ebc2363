#include "camsim/rtsp_recorder.h"

#include <cerrno>
#include <cstring>

namespace camsim {

std::string_view RtspDialectName(RtspDialect dialect) {
  return dialect == RtspDialect::kStandard ? "standard" : "family";
}

std::optional<RtspDialect> ParseRtspDialect(std::string_view name) {
  if (name == "family") return RtspDialect::kFamily;
  if (name == "standard") return RtspDialect::kStandard;
  return std::nullopt;
}

std::string FormatSentFrame(const SentFrame& frame) {
  return std::to_string(frame.index) + " " + frame.session + " " +
         std::to_string(frame.rtp_time) + " " + (frame.idr ? "1" : "0") + " " +
         (frame.parameter_sets ? "1" : "0") + " " + std::to_string(frame.annexb_length) + " " +
         std::to_string(frame.marker_time_ns);
}

std::string FormatRtspCounters(const RtspCounters& counters) {
  std::string text;
  auto line = [&text](const char* key, std::uint64_t value) {
    text += std::string(key) + "=" + std::to_string(value) + "\r\n";
  };
  line("requests", counters.requests);
  line("connections_accepted", counters.connections_accepted);
  line("connections_closed", counters.connections_closed);
  line("sessions_created", counters.sessions_created);
  line("sessions_torn_down", counters.sessions_torn_down);
  line("sessions_expired", counters.sessions_expired);
  line("sessions_dropped", counters.sessions_dropped);
  line("sessions_playing", counters.sessions_playing);
  line("packets_sent", counters.packets_sent);
  line("packets_dropped", counters.packets_dropped);
  line("packets_duplicated", counters.packets_duplicated);
  line("packets_reordered", counters.packets_reordered);
  line("frames_sent", counters.frames_sent);
  line("parameter_units_sent", counters.parameter_units_sent);
  line("sender_reports_sent", counters.sender_reports_sent);
  line("receiver_reports_received", counters.receiver_reports_received);
  line("restarts", counters.restarts);
  static constexpr char kHex[] = "0123456789abcdef";
  text += "last_receiver_report=";
  for (char c : counters.last_receiver_report) {
    const auto byte = static_cast<unsigned char>(c);
    text += kHex[byte >> 4];
    text += kHex[byte & 0xF];
  }
  text += "\r\n";
  return text;
}

RtspRecorder::~RtspRecorder() {
  if (frame_log_ != nullptr) std::fclose(frame_log_);
}

bool RtspRecorder::OpenFrameLog(const std::string& path, std::string* error) {
  std::FILE* file = nullptr;
  if (!path.empty()) {
    file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
      if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  std::lock_guard lock(mutex_);
  if (frame_log_ != nullptr) std::fclose(frame_log_);
  frame_log_ = file;
  return true;
}

void RtspRecorder::Count(std::uint64_t RtspCounters::*counter, std::uint64_t amount) {
  {
    std::lock_guard lock(mutex_);
    counters_.*counter += amount;
  }
  Changed();
}

void RtspRecorder::AddRequest(RtspRequestRecord record) {
  {
    std::lock_guard lock(mutex_);
    record.sequence = next_request_++;
    ++counters_.requests;
    requests_.push_back(std::move(record));
    if (requests_.size() > kMaxRecords) requests_.pop_front();
  }
  Changed();
}

void RtspRecorder::AddFrame(SentFrame frame, const PacketTally& packets) {
  {
    std::lock_guard lock(mutex_);
    counters_.packets_sent += packets.sent;
    counters_.packets_dropped += packets.dropped;
    counters_.packets_duplicated += packets.duplicated;
    counters_.packets_reordered += packets.reordered;
    frame.sequence = next_frame_++;
    ++(frame.parameter_sets ? counters_.parameter_units_sent : counters_.frames_sent);
    if (frame_log_ != nullptr) {
      std::fprintf(frame_log_, "%s\n", FormatSentFrame(frame).c_str());
      std::fflush(frame_log_);
    }
    frames_.push_back(std::move(frame));
    if (frames_.size() > kMaxRecords) frames_.pop_front();
  }
  Changed();
}

void RtspRecorder::AddReceiverReport(std::string report) {
  {
    std::lock_guard lock(mutex_);
    ++counters_.receiver_reports_received;
    counters_.last_receiver_report = std::move(report);
  }
  Changed();
}

RtspCounters RtspRecorder::Counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

std::vector<RtspRequestRecord> RtspRecorder::Requests() const {
  std::lock_guard lock(mutex_);
  return {requests_.begin(), requests_.end()};
}

std::vector<SentFrame> RtspRecorder::Frames() const {
  std::lock_guard lock(mutex_);
  return {frames_.begin(), frames_.end()};
}

bool RtspRecorder::WaitFor(const std::function<bool(const RtspCounters&)>& condition,
                           std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return condition(counters_); });
}

void RtspRecorder::Changed() { changed_.notify_all(); }

}  // namespace camsim
