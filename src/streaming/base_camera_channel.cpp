#include "streaming/base_camera_channel.h"

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "driver/capture_driver.h"
#include "driver/log_level.h"
#include "host/types.h"

namespace kalmora {

namespace {

constexpr const char* kDecoderLibrary = "libplurvexa.so";
constexpr const char* kSetCameraState = "kalmora::CBaseCameraChannel::SetCameraState";

}  // namespace

std::uint32_t PictureSizeClass(std::uint32_t width, std::uint32_t height) {
  if (width < 1024 && width > 2 * height) return 3;
  if (width > 400) return 4;
  return 2;
}

std::uint32_t FrameBufferSize(std::uint32_t length) {
  for (const std::uint32_t step : {4096u, 16384u, 32768u, 131072u}) {
    if (length <= step) return step;
  }
  return length;
}

CBaseCameraChannel::CBaseCameraChannel(std::uint32_t channel, CIPCaptureDriver* driver,
                                       ipcapture::ICaptureFrameCallback* consumer)
    : channel_(channel), driver_(driver), state_(ipcapture::kChannelStopped), consumer_(consumer) {
  if (driver_ != nullptr) {
    thread_stop_timeout_ms_ = driver_->communication_timeout_ms();
    signal_loss_timeout_ms_ = driver_->long_timeout_ms();
  }
  LoadDecoderLibrary();
  last_frame_time_.store(clock_());
}

CBaseCameraChannel::~CBaseCameraChannel() {
  // A subclass has already stopped the thread; this only catches a base that never started one.
  JoinThread();
  if (decoder_library_ != nullptr) dlclose(decoder_library_);
}

void CBaseCameraChannel::LoadDecoderLibrary() {
  // The host keeps its decoder library beside the driver. The directory is found from this code's
  // own address rather than left to the search path: a sanitizer's dlopen wrapper, for one,
  // makes the search run as if called from the sanitizer's runtime, without the driver's paths.
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&PictureSizeClass), &self) != 0 && self.dli_fname != nullptr) {
    std::string path = self.dli_fname;
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
      path.replace(slash + 1, std::string::npos, kDecoderLibrary);
      decoder_library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
  }
  if (decoder_library_ == nullptr) decoder_library_ = dlopen(kDecoderLibrary, RTLD_NOW | RTLD_LOCAL);
  if (decoder_library_ == nullptr) return;
  void* symbol = dlsym(decoder_library_, "ParseMpegHeader");
  if (symbol == nullptr) symbol = dlsym(decoder_library_, "_ParseMpegHeader@16");
  parse_mpeg_header_ = reinterpret_cast<ParseMpegHeaderFn>(symbol);
}

bool CBaseCameraChannel::Start(std::uint32_t frame_interval_ms, std::uint32_t width, std::uint32_t height,
                               std::uint32_t quality) {
  if (GetState() != ipcapture::kChannelStopped) return false;
  frame_interval_ms_ = frame_interval_ms;
  width_ = width;
  height_ = height;
  quality_ = quality;
  return StartThread();
}

bool CBaseCameraChannel::StartThread() {
  if (thread_.joinable()) Stop();
  SetState(ipcapture::kChannelStopped);
  stop_event_.Reset();
  try {
    thread_ = std::thread([this] {
      // Nothing may escape into the host process: an exception ends this channel's thread only.
      try {
        ThreadBody();
      } catch (...) {
      }
    });
  } catch (...) {
    return false;
  }
  return true;
}

void CBaseCameraChannel::RequestStop() {
  SetState(ipcapture::kChannelStopped);
  stop_event_.Set();
  AbortBlockingWork();
}

void CBaseCameraChannel::Stop() {
  RequestStop();
  // Every blocking step of the channel thread is bounded or aborted above, so the join ends; a
  // thread is never killed.
  JoinThread();
  SetState(ipcapture::kChannelStopped);
}

void CBaseCameraChannel::JoinThread() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool CBaseCameraChannel::RestartWithFormat(ipcapture::IIPPictureSize* size, std::uint32_t frame_interval_ms) {
  // Stopped first: the receive thread reads the size, and an MPEG-4 channel's writes it.
  Stop();
  if (size != nullptr) {
    width_ = size->GetWidth();
    height_ = size->GetHeight();
  }
  frame_interval_ms_ = frame_interval_ms;
  return StartThread();
}

bool CBaseCameraChannel::camera_online() const { return camera_online_.load(); }

void CBaseCameraChannel::SetCameraState(bool online) {
  // Every delivered frame says online: without a change there is nothing to take the lock for.
  if (online == camera_online_.load()) return;
  std::lock_guard<std::mutex> guard(state_lock_);
  if (online == camera_online_.load()) return;
  camera_online_.store(online);
  if (driver_ == nullptr) return;
  const char* address = driver_->address().c_str();
  if (online) {
    driver_->Log(kMsgInfo, "%s: Camera %s is online", kSetCameraState, address);
  } else if (GetState() == ipcapture::kChannelStopped) {
    driver_->Log(kMsgInfo, "%s: Camera %s is offline. Channel was stopped", kSetCameraState, address);
  } else if (GetState() == ipcapture::kChannelSignalLost) {
    driver_->Log(kMsgError, "%s: Signal was lost for camera %s (channel %u)", kSetCameraState, address, channel_);
  } else if (const std::uint32_t code = last_http_error_code_.load(); code != 0) {
    driver_->Log(kMsgError, "%s: Camera %s is offline or failed, HTTP error code %u", kSetCameraState, address, code);
  } else {
    driver_->Log(kMsgError, "%s: Camera %s is offline or failed", kSetCameraState, address);
  }
}

void CBaseCameraChannel::MarkFrameReceived() {
  last_frame_time_.store(clock_());
}

std::uint32_t CBaseCameraChannel::MillisecondsSinceLastFrame() const {
  const std::uint64_t now = clock_();
  return ElapsedMs(last_frame_time_.load(), now);
}

ipcapture::ICaptureFrameFactory* CBaseCameraChannel::frame_factory() const {
  return driver_ != nullptr ? driver_->frame_factory() : nullptr;
}

EncoderInputs CBaseCameraChannel::FormatEncoderInputs() const {
  EncoderInputs inputs;
  inputs.input = channel_ + 1;
  inputs.width = width_;
  inputs.height = height_;
  inputs.quality = quality_;
  inputs.frame_interval_ms = frame_interval_ms_;
  inputs.ntsc = driver_ != nullptr && driver_->ntsc();
  return inputs;
}

bool CBaseCameraChannel::MeasureMpeg4Picture(const std::uint8_t* data, std::uint32_t length) {
  if (parse_mpeg_header_ == nullptr) return false;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  if (parse_mpeg_header_(data, data, length, &width, &height) < 1) return false;
  width_ = width;
  height_ = height;
  return true;
}

bool CBaseCameraChannel::DeliverFrame(std::uint32_t /*channel*/, const std::uint8_t* data, std::uint32_t length,
                                      bool mpeg4) {
  ipcapture::ICaptureFrameFactory* factory = frame_factory();
  if (factory == nullptr) return false;
  std::uint32_t type = ipcapture::kFrameTypeDivi;
  if (mpeg4) {
    if (!MeasureMpeg4Picture(data, length)) return false;
    type = ipcapture::kFrameTypeDivx;
  }
  const std::uint32_t size_class = PictureSizeClass(width_, height_);
  ipcapture::ICaptureFrame* frame = factory->AllocateFrame(type, FrameBufferSize(length), kAllocationTag);
  if (frame == nullptr) return false;
  frame->SetWidth(width_);
  frame->SetHeight(height_);
  frame->SetSizeClass(size_class);
  frame->SetDataLength(length);
  frame->SetFrameType(type);
  frame->StampCurrentTime();
  if (length != 0) std::memcpy(frame->GetData(), data, length);
  const bool taken = consumer_ != nullptr && consumer_->CaptureFrameCallback(frame);
  factory->ReleaseFrame(frame);
  return taken;
}

}  // namespace kalmora
