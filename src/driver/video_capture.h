#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "host/video_capture.h"
#include "thread/spin_wait_lock.h"

namespace kalmora {

class CBaseCameraChannel;
class CIPCaptureDriver;

// The host's handle on a camera's video inputs: a table of up to 16 channels by number.
// Start, stop and format changes come from the host's control thread one at a time; status
// queries may come from any thread. The table lock is held only for the table access itself:
// channels are started, stopped and deleted outside it.
class CIPVideoCapture final : public ipcapture::IIPVideoCaptureEx {
 public:
  static constexpr std::uint32_t kMaxChannels = 16;

  // driver owns this object and outlives it.
  explicit CIPVideoCapture(CIPCaptureDriver* driver);
  ~CIPVideoCapture() override;
  CIPVideoCapture(const CIPVideoCapture&) = delete;
  CIPVideoCapture& operator=(const CIPVideoCapture&) = delete;

  std::int32_t GetChannelCount() override;
  bool StartChannel(std::uint32_t channel, ipcapture::ICaptureFrameCallback* callback,
                    ipcapture::IIPChannelSettings* settings) override;
  bool StopChannel(std::uint32_t channel) override;
  bool ChangeChannelFormat(std::uint32_t channel, ipcapture::IIPPictureSize* size,
                           std::uint32_t frame_interval_ms) override;
  std::int32_t Reserved6() override { return 0; }
  bool GetChannelStatus(std::uint32_t channel, std::int32_t* state, std::int32_t* second, std::uint8_t* flag,
                        std::int32_t flag_wanted) override;
  bool Reserved8(std::uint32_t, std::uint32_t, std::uint32_t) override { return false; }
  bool Reserved9(std::uint32_t, std::uint32_t, std::uint32_t) override { return false; }
  bool Reserved10(void*) override { return false; }
  bool Reserved11(void*) override { return false; }

 private:
  CIPCaptureDriver* driver_;
  CSpinWaitLock table_lock_;
  std::array<std::unique_ptr<CBaseCameraChannel>, kMaxChannels> channels_;  // guarded by table_lock_
};

}  // namespace kalmora
