#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "driver/error_counter.h"
#include "host/frame.h"
#include "platform/clock.h"
#include "streaming/encoder_configuration.h"
#include "thread/event.h"

namespace kalmora {

class CIPCaptureDriver;

// The signature of the host decoder library's MPEG-4 header parser: data, data again, length,
// width and height outputs; 1 or more when a video object layer header was found and measured.
using ParseMpegHeaderFn = int (*)(const std::uint8_t*, const std::uint8_t*, std::uint32_t, std::uint16_t*,
                                  std::uint16_t*);

// Picture size class the host files a frame under.
std::uint32_t PictureSizeClass(std::uint32_t width, std::uint32_t height);
// The frame buffer size asked of the host for a frame of `length` bytes: 4096, 16384, 32768,
// 131072, or the length itself above that.
std::uint32_t FrameBufferSize(std::uint32_t length);

// Common base of the video channels: one object per video input the host streams. It owns the
// channel thread and its stop event, keeps the channel state and the camera-online flag, tracks
// the time of the last delivered frame for signal-loss detection and hands frames to the host.
//
// Threads: Start, Stop and RestartWithFormat come from the host's control thread, one at a time.
// The channel thread runs ThreadBody; RTSP channels also deliver from their UDP receive thread.
// The state and the last-frame time are atomics; the online flag and its log line are guarded by
// state_lock_. Everything else is written before the thread starts or by that thread alone.
class CBaseCameraChannel : public CZELVErrorCounter {
 public:
  static constexpr std::uint32_t kDefaultThreadStopTimeoutMs = 5000;
  static constexpr std::uint32_t kDefaultSignalLossTimeoutMs = 10000;
  static constexpr const char* kAllocationTag = "IPCaptureDriver";

  // driver outlives the channel (it owns the video capture object that owns the channel);
  // consumer is the host's and stays valid until the channel is stopped.
  CBaseCameraChannel(std::uint32_t channel, CIPCaptureDriver* driver, ipcapture::ICaptureFrameCallback* consumer);
  // Subclasses call Stop() in their own destructor: the thread runs their ThreadBody.
  ~CBaseCameraChannel() override;
  CBaseCameraChannel(const CBaseCameraChannel&) = delete;
  CBaseCameraChannel& operator=(const CBaseCameraChannel&) = delete;

  // Only in the stopped state (false otherwise, and the running thread is left alone). Stores the
  // format and starts the channel thread; false when the thread cannot be created.
  bool Start(std::uint32_t frame_interval_ms, std::uint32_t width, std::uint32_t height, std::uint32_t quality);
  // Signals the stop event, cuts the thread's blocking work short and joins it. State 3 after.
  void Stop();
  // The first half of Stop, without the join: several channels told at once wind down side by
  // side, so closing them all takes as long as the slowest, not the sum.
  void RequestStop();
  // Takes the new picture size and frame interval, stops the thread and starts it again.
  virtual bool RestartWithFormat(ipcapture::IIPPictureSize* size, std::uint32_t frame_interval_ms);

  std::int32_t GetState() const { return state_.load(); }
  void SetState(std::int32_t state) { state_.store(state); }
  // Reports a change of the camera-online flag with one log line; no change, no line.
  void SetCameraState(bool online);
  bool camera_online() const;

  void MarkFrameReceived();
  // Now minus the last-frame time; 0 when that lies in the future.
  std::uint32_t MillisecondsSinceLastFrame() const;
  bool IsSignalLost() const { return MillisecondsSinceLastFrame() > signal_loss_timeout_ms_; }

  std::uint32_t channel() const { return channel_; }
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::uint32_t quality() const { return quality_; }
  std::uint32_t frame_interval_ms() const { return frame_interval_ms_; }
  std::uint32_t thread_stop_timeout_ms() const { return thread_stop_timeout_ms_; }
  std::uint32_t signal_loss_timeout_ms() const { return signal_loss_timeout_ms_; }
  // For tests: time without frames before the signal counts as lost.
  void set_signal_loss_timeout_ms(std::uint32_t ms) { signal_loss_timeout_ms_ = ms; }

 protected:
  // The loop the channel thread runs until the stop event is set; its exit code.
  virtual std::uint32_t ThreadBody() = 0;
  // Hands one complete frame to the host; false when it was refused or could not be handed over.
  // This version serves the HTTP channel: "DIVI", or with `mpeg4` a measured "DIVX" frame.
  virtual bool DeliverFrame(std::uint32_t channel, const std::uint8_t* data, std::uint32_t length, bool mpeg4);
  // Called by Stop on the control thread after the stop event is set: aborts whatever the
  // channel thread may be blocked in (an HTTP exchange, an RTSP reply), so the join is prompt.
  virtual void AbortBlockingWork() {}

  // The input number, format and video standard the encoder requests are built from; the
  // bitrate limits and options are the RTSP channels' to add.
  EncoderInputs FormatEncoderInputs() const;
  // Measures an MPEG-4 key picture with the decoder library and takes the size it found as the
  // channel's; false without the library or when it finds no video object layer header.
  bool MeasureMpeg4Picture(const std::uint8_t* data, std::uint32_t length);

  CIPCaptureDriver* driver() const { return driver_; }
  ipcapture::ICaptureFrameCallback* consumer() const { return consumer_; }
  ipcapture::ICaptureFrameFactory* frame_factory() const;
  CManualEvent& stop_event() { return stop_event_; }
  bool StopRequested() { return stop_event_.Wait(0); }
  void set_http_error_code(std::uint32_t code) { last_http_error_code_ = code; }
  // Replaced where tests need a clock of their own; read by the last-frame bookkeeping.
  void set_clock(ClockFn clock) { clock_ = std::move(clock); }

 private:
  bool StartThread();
  void JoinThread();
  void LoadDecoderLibrary();

  std::atomic<std::uint64_t> last_frame_time_{0};  // 100-ns units since 1601
  // Serialises the changes of camera_online_ with their log lines; readers need no lock.
  mutable std::mutex state_lock_;
  std::atomic<bool> camera_online_{false};
  std::uint32_t channel_;
  CIPCaptureDriver* driver_;
  std::atomic<std::int32_t> state_;
  ipcapture::ICaptureFrameCallback* consumer_;
  std::uint32_t thread_stop_timeout_ms_ = kDefaultThreadStopTimeoutMs;
  std::uint32_t signal_loss_timeout_ms_ = kDefaultSignalLossTimeoutMs;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t quality_ = 60;
  std::uint32_t frame_interval_ms_ = 0;
  std::thread thread_;
  CManualEvent stop_event_;
  void* decoder_library_ = nullptr;
  ParseMpegHeaderFn parse_mpeg_header_ = nullptr;
  std::atomic<std::uint32_t> last_http_error_code_{0};
  ClockFn clock_ = Now;
};

}  // namespace kalmora
