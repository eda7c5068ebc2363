#pragma once

#include "driver/capture_driver.h"

namespace kalmora {

// The driver of this camera family: validates the family's custom parameters at Open, creates
// the family's PTZ handler and chooses the channel and digital I/O classes.
class COrvaneIPCaptureDriver : public CIPCaptureDriver {
 public:
  static constexpr const char* kDriverName = "Tessavirn";
  // The most PTZ channels custom parameter 8 may ask for.
  static constexpr std::int32_t kMaxPtzChannels = 65535;

  COrvaneIPCaptureDriver() = default;

  bool Open(ipcapture::IDebugMessageSink* sink, ipcapture::ICaptureFrameFactory* factory,
            ipcapture::IIPDeviceSettings* settings) override;
  bool CreateDigitalIO() override;
  CBaseCameraChannel* CreateChannel(std::uint32_t channel, ipcapture::ICaptureFrameCallback* callback) override;

  bool mjpeg_over_http() const { return mjpeg_over_http_; }

 private:
  bool OpenFamily(ipcapture::IDebugMessageSink* sink, ipcapture::ICaptureFrameFactory* factory,
                  ipcapture::IIPDeviceSettings* settings);

  bool mjpeg_over_http_ = false;
};

}  // namespace kalmora
