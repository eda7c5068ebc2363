#include "driver/orvane_capture_driver.h"

#include <new>

#include "driver/log_level.h"
#include "io/orvane_digital_io.h"
#include "ptz/orvane_ptz_handler.h"
#include "streaming/channel_classes.h"

namespace kalmora {

bool COrvaneIPCaptureDriver::Open(ipcapture::IDebugMessageSink* sink, ipcapture::ICaptureFrameFactory* factory,
                                  ipcapture::IIPDeviceSettings* settings) {
  try {
    return OpenFamily(sink, factory, settings);
  } catch (...) {
    return false;
  }
}

// A missing or malformed required parameter fails the open without a message: the host's
// configuration tool is the place to say which one.
bool COrvaneIPCaptureDriver::OpenFamily(ipcapture::IDebugMessageSink* sink, ipcapture::ICaptureFrameFactory* factory,
                                        ipcapture::IIPDeviceSettings* settings) {
  if (settings == nullptr || HasServiceObjects()) return false;
  const auto timeout = ParseDecimalInteger(settings->GetCustomParameter(kParamNetworkTimeout));
  if (!timeout) return false;
  const auto standard = ParseDecimalInteger(settings->GetCustomParameter(kParamVideoStandard));
  if (!standard) return false;
  const auto mjpeg_http = ParseDecimalInteger(settings->GetCustomParameter(kParamMjpegOverHttp));
  if (!mjpeg_http) return false;

  if (*timeout > 0) SetTimeouts(static_cast<std::uint32_t>(*timeout));
  SetNtsc(*standard != 0);
  mjpeg_over_http_ = *mjpeg_http == 1;

  if (!OpenBase(sink, factory, settings)) return false;

  const char* ptz_text = settings->GetCustomParameter(kParamPtzChannels);
  if (ptz_text == nullptr || ptz_driver_ != nullptr) return false;
  const auto ptz_channels = ParseDecimalInteger(ptz_text);
  // A negative count would become about four billion channels; past 65535 channel numbers in
  // the camera's keys and thread names would wrap.
  if (!ptz_channels || *ptz_channels < 0 || *ptz_channels > kMaxPtzChannels) return false;
  if (*ptz_channels != 0) {
    ptz_driver_.reset(new (std::nothrow) COrvanePTZHandler(this, static_cast<std::uint32_t>(*ptz_channels)));
  }

  ipcapture::IIPDeviceInfo* info = settings->GetDeviceInfo();
  const char* model = info->GetDeviceModel();
  const char* firmware = CustomParameterText(kParamFirmware);
  Log(kMsgDriverOpened, "DRIVER IS OPENED (name: %s, device model: %s, FW: %s, address: %s:%u)", kDriverName,
      model != nullptr ? model : "", firmware != nullptr ? firmware : "(none)", address().c_str(),
      static_cast<unsigned>(port()));
  return true;
}

bool COrvaneIPCaptureDriver::CreateDigitalIO() {
  digital_io_.reset(new (std::nothrow) COrvaneDigitalIO(this));
  return digital_io_ != nullptr;
}

CBaseCameraChannel* COrvaneIPCaptureDriver::CreateChannel(std::uint32_t channel,
                                                          ipcapture::ICaptureFrameCallback* callback) {
  if (callback == nullptr) return nullptr;
  switch (stream_type()) {
    case ipcapture::kStreamMjpeg:
      if (mjpeg_over_http_) return new (std::nothrow) CMJPEGChannelHTTP(channel, this, callback);
      return new (std::nothrow) CMJPEGChannelRTSP(channel, this, callback);
    case ipcapture::kStreamMpeg4:
      return new (std::nothrow) CMPEGChannelRTSP(channel, this, callback);
    case ipcapture::kStreamH264:
      return new (std::nothrow) CH264ChannelRTSP(channel, this, callback);
    default:
      return nullptr;
  }
}

}  // namespace kalmora
