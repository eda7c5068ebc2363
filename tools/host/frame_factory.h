#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/frame.h"

namespace tessavirn_host {

// A frame buffer of a fixed capacity, as the recorder allocates them.
class Frame final : public kalmora::ipcapture::ICaptureFrame {
 public:
  Frame(std::uint32_t type_code, std::uint32_t capacity, std::string tag);

  std::uint8_t* GetData() override { return data_.get(); }
  void SetDataLength(std::uint32_t length) override { length_ = length; }
  void StampCurrentTime() override;
  void SetTimeStamp(const kalmora::ipcapture::SystemTime& utc) override { time_ = utc; }
  void SetFrameType(std::uint32_t type_code) override { type_ = type_code; }
  void SetHeight(std::uint32_t height) override { height_ = height; }
  void SetWidth(std::uint32_t width) override { width_ = width; }
  void SetSizeClass(std::uint32_t size_class) override { size_class_ = size_class; }
  std::uint32_t GetCapacity() const override { return capacity_; }
  std::uint32_t GetDataLength() const override { return length_; }
  std::uint32_t GetFrameType() const override { return type_; }
  std::uint32_t GetWidth() const override { return width_; }
  std::uint32_t GetHeight() const override { return height_; }
  std::uint32_t GetSizeClass() const override { return size_class_; }
  kalmora::ipcapture::SystemTime GetTimeStamp() const override { return time_; }

  const std::string& tag() const { return tag_; }
  // As a new frame of this type and tag, keeping the buffer (its bytes are not cleared).
  void Reuse(std::uint32_t type_code, const char* tag);

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::uint32_t capacity_;
  std::uint32_t length_ = 0;
  std::uint32_t type_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t size_class_ = 0;
  kalmora::ipcapture::SystemTime time_{};
  std::string tag_;
};

// Hands out frame buffers and takes them back, counting both so a test can see that none leaks.
// As a recorder does, it keeps released buffers for reuse: a fresh buffer for every frame costs
// the allocator, and the page faults of memory it gave back, at every frame.
// Called from the driver's receive threads; the pool is guarded by one mutex.
class FrameFactory final : public kalmora::ipcapture::ICaptureFrameFactory {
 public:
  // Released frames up to this capacity are kept, at most kPooledPerCapacity of each.
  static constexpr std::uint32_t kMaxPooledCapacity = 1u << 20;
  static constexpr std::size_t kPooledPerCapacity = 16;

  // Sizes above max_size are refused, as a host with a bounded pool would.
  explicit FrameFactory(std::uint32_t max_size = 64u << 20) : max_size_(max_size) {}

  kalmora::ipcapture::ICaptureFrame* AllocateFrame(std::uint32_t type_code, std::uint32_t size,
                                                   const char* tag) override;
  void ReleaseFrame(kalmora::ipcapture::ICaptureFrame* frame) override;

  std::uint64_t allocated() const { return allocated_.load(); }
  std::uint64_t released() const { return released_.load(); }

 private:
  std::uint32_t max_size_;
  std::atomic<std::uint64_t> allocated_{0};
  std::atomic<std::uint64_t> released_{0};
  std::mutex pool_mutex_;
  std::map<std::uint32_t, std::vector<std::unique_ptr<Frame>>> pool_;  // by capacity, under pool_mutex_
};

}  // namespace tessavirn_host
