#include "frame_factory.h"

#include <chrono>
#include <ctime>
#include <new>

namespace tessavirn_host {

Frame::Frame(std::uint32_t type_code, std::uint32_t capacity, std::string tag)
    : data_(new std::uint8_t[capacity == 0 ? 1 : capacity]), capacity_(capacity), type_(type_code),
      tag_(std::move(tag)) {}

void Frame::StampCurrentTime() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  time_.year = static_cast<std::uint16_t>(utc.tm_year + 1900);
  time_.month = static_cast<std::uint16_t>(utc.tm_mon + 1);
  time_.day_of_week = static_cast<std::uint16_t>(utc.tm_wday);
  time_.day = static_cast<std::uint16_t>(utc.tm_mday);
  time_.hour = static_cast<std::uint16_t>(utc.tm_hour);
  time_.minute = static_cast<std::uint16_t>(utc.tm_min);
  time_.second = static_cast<std::uint16_t>(utc.tm_sec);
  time_.milliseconds = static_cast<std::uint16_t>(ms);
}

kalmora::ipcapture::ICaptureFrame* FrameFactory::AllocateFrame(std::uint32_t type_code, std::uint32_t size,
                                                               const char* tag) {
  if (size > max_size_) return nullptr;
  try {
    auto* frame = new Frame(type_code, size, tag != nullptr ? tag : "");
    ++allocated_;
    return frame;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void FrameFactory::ReleaseFrame(kalmora::ipcapture::ICaptureFrame* frame) {
  if (frame == nullptr) return;
  ++released_;
  delete frame;
}

}  // namespace tessavirn_host
