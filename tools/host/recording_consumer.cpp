#include "recording_consumer.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <span>
#include <utility>

#include "h264_frame_check.h"
#include "host/types.h"

namespace tessavirn_host {

using namespace kalmora::ipcapture;

namespace {

// The access unit delimiter the driver ends every H.264 frame with.
constexpr std::array<std::uint8_t, 5> kDelimiter = {0x00, 0x00, 0x01, 0x09, 0x30};

}  // namespace

bool IsKeyFrameType(std::uint32_t type_code) {
  return type_code == kFrameTypeH264 || type_code == kFrameTypeJpeg || type_code == kFrameTypeDivx;
}

bool IsH264FrameType(std::uint32_t type_code) {
  return type_code == kFrameTypeH264 || type_code == kFrameTypeH264Delta;
}

std::string FrameTypeText(std::uint32_t type_code) {
  char bytes[4];
  std::memcpy(bytes, &type_code, sizeof bytes);
  bool printable = true;
  for (char c : bytes) printable = printable && std::isgraph(static_cast<unsigned char>(c));
  if (printable) return std::string(bytes, sizeof bytes);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08" PRIx32, type_code);
  return hex;
}

RecordingConsumer::RecordingConsumer(std::FILE* out, std::FILE* frame_log, std::string jpeg_dir)
    : out_(out), frame_log_(frame_log), jpeg_dir_(std::move(jpeg_dir)) {}

bool RecordingConsumer::WriteJpegFile(std::span<const std::uint8_t> picture) {
  char name[32];
  std::snprintf(name, sizeof name, "/%06" PRIu64 ".jpg", jpeg_files_ + 1);
  const std::string path = jpeg_dir_ + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool written = file != nullptr && std::fwrite(picture.data(), 1, picture.size(), file) == picture.size();
  if (file != nullptr && std::fclose(file) != 0) written = false;
  if (!written) {
    if (write_error_.empty()) write_error_ = path + ": " + std::strerror(errno);
    ++counters_.refused;
    return false;
  }
  ++jpeg_files_;
  file_bytes_ += picture.size();
  return true;
}

bool RecordingConsumer::CaptureFrameCallback(ICaptureFrame* frame) {
  try {
    const auto now = std::chrono::system_clock::now();
    if (frame == nullptr || frame->GetDataLength() > frame->GetCapacity() ||
        (frame->GetDataLength() > 0 && frame->GetData() == nullptr)) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counters_.refused;
      return false;
    }
    // Everything that only reads the frame is done before taking the lock.
    const std::span<const std::uint8_t> data(frame->GetData(), frame->GetDataLength());
    const std::uint32_t type = frame->GetFrameType();
    const std::uint32_t width = frame->GetWidth();
    const std::uint32_t height = frame->GetHeight();
    const bool key = IsKeyFrameType(type);
    const unsigned problems = IsH264FrameType(type) ? CheckH264Frame(data, key) : 0;
    const auto stamp = SystemTimeToEpochMs(frame->GetTimeStamp());
    const auto callback_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();

    // The delimiter that ends an H.264 frame is written only when the next frame follows:
    // after the last frame it would begin an access unit without a picture, which decoders
    // report as an error.
    const bool hold_delimiter =
        IsH264FrameType(type) && (problems & (kH264NoTrailingDelimiter | kH264Empty)) == 0;
    const auto now_written = hold_delimiter ? data.first(data.size() - kDelimiter.size()) : data;

    std::lock_guard<std::mutex> lock(mutex_);
    const auto write = [&](std::span<const std::uint8_t> bytes) {
      if (bytes.empty() || (out_ != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), out_) == bytes.size())) {
        file_bytes_ += bytes.size();
        return true;
      }
      if (write_error_.empty()) write_error_ = out_ != nullptr ? std::strerror(errno) : "no output file";
      ++counters_.refused;
      return false;
    };
    if (delimiter_held_) {
      if (!write(kDelimiter)) return false;
      delimiter_held_ = false;
    }
    if (!jpeg_dir_.empty() && type == kFrameTypeJpeg) {
      if (!WriteJpegFile(data)) return false;
    } else if (!write(now_written)) {
      return false;
    }
    delimiter_held_ = hold_delimiter;
    const std::uint64_t index = counters_.frames++;
    counters_.bytes += data.size();
    if (key) ++counters_.key_frames;
    ++counters_.frames_by_type[type];
    if (!first_frame_key_) first_frame_key_ = key;
    if (problems != 0) {
      ++counters_.damaged;
      if (first_damage_.empty()) first_damage_ = "frame " + std::to_string(index) + ": " + DescribeH264Problems(problems);
    }
    if (stamp) {
      time_stamps_.push_back(*stamp);
    } else {
      ++counters_.without_time_stamp;
    }
    if (frame_log_ != nullptr) {
      const std::string type_text = FrameTypeText(type);
      char stamp_text[24] = "-";
      if (stamp) std::snprintf(stamp_text, sizeof stamp_text, "%" PRId64, *stamp);
      std::fprintf(frame_log_, "%" PRIu64 " %lld %zu %s %d %s %u %u\n", index, static_cast<long long>(callback_ns),
                   data.size(), type_text.c_str(), key ? 1 : 0, stamp_text, static_cast<unsigned>(width),
                   static_cast<unsigned>(height));
      std::fflush(frame_log_);
    }
    return true;
  } catch (...) {
    // Only allocation can throw here; the driver must never see an exception.
    return false;
  }
}

void RecordingConsumer::NotifyNoSignal() { no_signal_notices_.fetch_add(1); }

RecordCounters RecordingConsumer::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  RecordCounters counters = counters_;
  counters.no_signal_notices = no_signal_notices_.load();
  return counters;
}

std::uint64_t RecordingConsumer::FileBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return file_bytes_;
}

std::vector<std::int64_t> RecordingConsumer::TimeStamps() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return time_stamps_;
}

std::optional<bool> RecordingConsumer::FirstFrameKey() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return first_frame_key_;
}

std::string RecordingConsumer::FirstDamage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return first_damage_;
}

std::string RecordingConsumer::WriteError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return write_error_;
}

}  // namespace tessavirn_host
