#include "streaming/base_camera_channel.h"

#include "host/types.h"

namespace kalmora {

CBaseCameraChannel::CBaseCameraChannel(std::uint32_t channel, CIPCaptureDriver* driver,
                                       ipcapture::ICaptureFrameCallback* consumer)
    : channel_(channel), driver_(driver), consumer_(consumer), state_(ipcapture::kChannelStopped) {}

CBaseCameraChannel::~CBaseCameraChannel() = default;

bool CBaseCameraChannel::Start(std::uint32_t frame_interval_ms, std::uint32_t width, std::uint32_t height,
                               std::uint32_t quality) {
  if (GetState() != ipcapture::kChannelStopped) return false;
  frame_interval_ms_ = frame_interval_ms;
  width_ = width;
  height_ = height;
  quality_ = quality;
  return StartStreaming();
}

void CBaseCameraChannel::Stop() {
  SetState(ipcapture::kChannelStopped);
  StopStreaming();
  SetState(ipcapture::kChannelStopped);
}

bool CBaseCameraChannel::RestartWithFormat(ipcapture::IIPPictureSize* size, std::uint32_t frame_interval_ms) {
  if (size != nullptr) {
    width_ = size->GetWidth();
    height_ = size->GetHeight();
  }
  frame_interval_ms_ = frame_interval_ms;
  Stop();
  return StartStreaming();
}

}  // namespace kalmora
