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

void Frame::Reuse(std::uint32_t type_code, const char* tag) {
  length_ = 0;
  type_ = type_code;
  width_ = 0;
  height_ = 0;
  size_class_ = 0;
  time_ = {};
  tag_ = tag;
}

kalmora::ipcapture::ICaptureFrame* FrameFactory::AllocateFrame(std::uint32_t type_code, std::uint32_t size,
                                                               const char* tag) {
  if (size > max_size_) return nullptr;
  {
    std::lock_guard<std::mutex> lock(pool_mutex_);
    const auto kept = pool_.find(size);
    if (kept != pool_.end() && !kept->second.empty()) {
      std::unique_ptr<Frame> frame = std::move(kept->second.back());
      kept->second.pop_back();
      frame->Reuse(type_code, tag != nullptr ? tag : "");
      ++allocated_;
      return frame.release();
    }
  }
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
  std::unique_ptr<Frame> owned(static_cast<Frame*>(frame));
  const std::uint32_t capacity = owned->GetCapacity();
  if (capacity > kMaxPooledCapacity) return;
  try {
    std::lock_guard<std::mutex> lock(pool_mutex_);
    std::vector<std::unique_ptr<Frame>>& kept = pool_[capacity];
    if (kept.size() < kPooledPerCapacity) kept.push_back(std::move(owned));
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace tessavirn_host
