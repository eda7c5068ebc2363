#pragma once

#include <atomic>
#include <cstdint>

#include "driver/error_counter.h"
#include "host/frame.h"

namespace kalmora {

class CIPCaptureDriver;

// Common base of the video channels: one object per video input the host streams. It keeps the
// channel number, the channel state and the non-owning links to the driver and the host's frame
// callback. The receiving machinery (channel thread, RTSP session, frame delivery) belongs to the
// concrete channel classes; until a class has it, Start refuses and the channel stays stopped.
class CBaseCameraChannel : public CZELVErrorCounter {
 public:
  // driver outlives the channel (it owns the video capture object that owns the channel);
  // consumer is the host's and stays valid until the channel is stopped.
  CBaseCameraChannel(std::uint32_t channel, CIPCaptureDriver* driver, ipcapture::ICaptureFrameCallback* consumer);
  ~CBaseCameraChannel() override;
  CBaseCameraChannel(const CBaseCameraChannel&) = delete;
  CBaseCameraChannel& operator=(const CBaseCameraChannel&) = delete;

  // Only in the stopped state. Stores the format and starts the channel's thread; false when the
  // channel cannot stream.
  bool Start(std::uint32_t frame_interval_ms, std::uint32_t width, std::uint32_t height, std::uint32_t quality);
  void Stop();
  // Takes the new picture size and frame interval and restarts the channel.
  virtual bool RestartWithFormat(ipcapture::IIPPictureSize* size, std::uint32_t frame_interval_ms);

  std::int32_t GetState() const { return state_.load(); }
  std::uint32_t channel() const { return channel_; }
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::uint32_t quality() const { return quality_; }
  std::uint32_t frame_interval_ms() const { return frame_interval_ms_; }

 protected:
  void SetState(std::int32_t state) { state_.store(state); }
  // Starts the receiving machinery of the concrete class; false when it has none or it failed.
  virtual bool StartStreaming() = 0;
  virtual void StopStreaming() = 0;

  CIPCaptureDriver* driver() const { return driver_; }
  ipcapture::ICaptureFrameCallback* consumer() const { return consumer_; }

 private:
  std::uint32_t channel_;
  CIPCaptureDriver* driver_;
  ipcapture::ICaptureFrameCallback* consumer_;
  std::atomic<std::int32_t> state_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t quality_ = 60;
  std::uint32_t frame_interval_ms_ = 0;
};

}  // namespace kalmora
