#include "driver/video_capture.h"

#include "driver/capture_driver.h"
#include "streaming/base_camera_channel.h"

namespace kalmora {

CIPVideoCapture::CIPVideoCapture(CIPCaptureDriver* driver) : driver_(driver) {}

CIPVideoCapture::~CIPVideoCapture() {
  std::unique_ptr<CBaseCameraChannel> removed[kMaxChannels];
  {
    CSpinWaitLockGuard guard(table_lock_);
    for (std::uint32_t channel = 0; channel < kMaxChannels; ++channel) removed[channel] = std::move(channels_[channel]);
  }
  // Every channel is told first, then each is joined: their session teardowns overlap.
  for (auto& channel : removed) {
    if (channel) channel->RequestStop();
  }
  for (auto& channel : removed) {
    if (channel) channel->Stop();
  }
}

std::int32_t CIPVideoCapture::GetChannelCount() {
  return driver_ != nullptr ? driver_->video_channel_count() : 0;
}

bool CIPVideoCapture::StartChannel(std::uint32_t channel, ipcapture::ICaptureFrameCallback* callback,
                                   ipcapture::IIPChannelSettings* settings) {
  try {
    if (channel >= kMaxChannels || driver_ == nullptr) return false;
    StopChannel(channel);

    std::unique_ptr<CBaseCameraChannel> created(driver_->CreateChannel(channel, callback));
    if (!created) return true;  // no channel for this stream type: nothing to stream, not an error

    std::uint16_t interval = 0, width = 0, height = 0, quality = 0;
    if (settings != nullptr) {
      ipcapture::IIPRateSettings* rate = settings->GetRateSettings();
      ipcapture::IIPPictureSettings* picture = settings->GetPictureSettings();
      ipcapture::IIPPictureSize* size = picture != nullptr ? picture->GetPictureSize() : nullptr;
      if (rate != nullptr) interval = rate->GetFrameInterval();
      if (size != nullptr) {
        width = size->GetWidth();
        height = size->GetHeight();
      }
      if (rate != nullptr) quality = rate->GetQuality();
    }
    const bool started = created->Start(interval, width, height, quality);

    // Kept whether or not it started: a later stop deletes it.
    CSpinWaitLockGuard guard(table_lock_);
    channels_[channel] = std::move(created);
    return started;
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::StopChannel(std::uint32_t channel) {
  if (channel >= kMaxChannels) return false;
  std::unique_ptr<CBaseCameraChannel> removed;
  {
    CSpinWaitLockGuard guard(table_lock_);
    removed = std::move(channels_[channel]);
  }
  if (!removed) return false;
  removed->Stop();
  return true;
}

bool CIPVideoCapture::ChangeChannelFormat(std::uint32_t channel, ipcapture::IIPPictureSize* size,
                                          std::uint32_t frame_interval_ms) {
  if (channel >= kMaxChannels) return false;
  CBaseCameraChannel* found = nullptr;
  {
    CSpinWaitLockGuard guard(table_lock_);
    found = channels_[channel].get();
  }
  // The control thread is the only one that removes channels, so found stays valid here.
  return found != nullptr && found->RestartWithFormat(size, frame_interval_ms);
}

bool CIPVideoCapture::GetChannelStatus(std::uint32_t channel, std::int32_t* state, std::int32_t* second,
                                       std::uint8_t* flag, std::int32_t flag_wanted) {
  if (second != nullptr) *second = 0;
  if (flag_wanted != 0 && flag != nullptr) *flag = 0;
  if (channel >= kMaxChannels) return false;
  CSpinWaitLockGuard guard(table_lock_);
  const CBaseCameraChannel* found = channels_[channel].get();
  if (found == nullptr) return false;
  if (state != nullptr) *state = found->GetState();
  return true;
}

}  // namespace kalmora
