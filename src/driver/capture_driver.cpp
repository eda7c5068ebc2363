#include "driver/capture_driver.h"


#include "camera/value_functions.h"
#include "driver/debug_info.h"
#include "driver/log_level.h"
#include "driver/video_capture.h"

namespace kalmora {
namespace {

std::string CopyText(const char* text) { return text == nullptr ? std::string() : std::string(text); }


}  // namespace

CIPCaptureDriver::CIPCaptureDriver() = default;

CIPCaptureDriver::~CIPCaptureDriver() { Close(); }

bool CIPCaptureDriver::OpenBase(ipcapture::IDebugMessageSink* sink, ipcapture::ICaptureFrameFactory* factory,
                                ipcapture::IIPDeviceSettings* settings) {
  if (settings == nullptr) return false;
  ipcapture::IIPDeviceInfo* info = settings->GetDeviceInfo();
  ipcapture::IIPConnectionSettings* connection = settings->GetConnectionSettings();
  if (info == nullptr || connection == nullptr) return false;

  stream_type_ = connection->GetStreamType();
  video_channel_count_ = info->GetVideoChannelCount();
  sink_ = sink;
  frame_factory_ = factory;
  digital_input_count_ = info->GetDigitalInputCount();
  digital_output_count_ = info->GetDigitalOutputCount();
  address_ = CopyText(connection->GetAddress());
  port_ = connection->GetPort();
  user_name_ = CopyText(connection->GetUserName());
  password_ = CopyText(connection->GetPassword());

  // The list ends at the first index the host does not have; later indices are never read.
  custom_parameters_.Clear();
  for (std::uint32_t index = 1;; ++index) {
    const char* text = settings->GetCustomParameter(index);
    if (text == nullptr) break;
    custom_parameters_.Set(index, text);
  }

  host_core_version_ = LookUpHostCoreVersion();

  if (!CreateDigitalIO()) return false;
  video_capture_ = std::make_unique<CIPVideoCapture>(this);
  return true;
}

HostCoreVersion CIPCaptureDriver::LookUpHostCoreVersion() const { return ReadHostCoreVersion(); }

bool CIPCaptureDriver::Open(ipcapture::IDebugMessageSink* sink, ipcapture::ICaptureFrameFactory* factory,
                            ipcapture::IIPDeviceSettings* settings) {
  try {
    return !HasServiceObjects() && OpenBase(sink, factory, settings);
  } catch (...) {
    return false;
  }
}

void CIPCaptureDriver::Close() {
  // Channels stop first, then the I/O threads, then the PTZ command threads.
  video_capture_.reset();
  digital_io_.reset();
  ptz_driver_.reset();
}

ipcapture::IIPVideoCapture* CIPCaptureDriver::GetVideoCapture() { return video_capture_.get(); }

ipcapture::IIPVideoCaptureEx* CIPCaptureDriver::GetVideoCaptureEx() { return video_capture_.get(); }

void CIPCaptureDriver::Log(std::int32_t message_type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(message_type, format, args);
  va_end(args);
}

void CIPCaptureDriver::LogV(std::int32_t message_type, const char* format, va_list args) {
  try {
    const std::string text = FormatTextV(format, args);
    const auto level = MapMessageLevel(message_type, host_core_version_);
    if (!level || sink_ == nullptr) return;
    CDebugInfo info(*level, text);
    sink_->ReceiveDebugInfo(&info);
  } catch (...) {
    // Logging must never take the caller down; the entry is lost.
  }
}

}  // namespace kalmora
