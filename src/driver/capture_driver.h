#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

#include "driver/custom_parameters.h"
#include "driver/error_counter.h"
#include "host/capture_driver.h"
#include "platform/host_core_version.h"

namespace kalmora {

class CBaseCameraChannel;
class CIPVideoCapture;

// One camera or encoder attached to the host: holds the host's configuration for every service
// object and owns them (video capture, digital I/O, PTZ). Open, Close and the accessors run on
// the host's control thread; the configuration is written only by Open and read afterwards,
// without locks, by the threads of the service objects. Log may be called from any thread.
class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx3,
                         public IDebugMessage,
                         public virtual CZELVErrorCounter {
 public:
  static constexpr std::uint32_t kDefaultCommunicationTimeoutMs = 5000;

  CIPCaptureDriver();
  ~CIPCaptureDriver() override;
  CIPCaptureDriver(const CIPCaptureDriver&) = delete;
  CIPCaptureDriver& operator=(const CIPCaptureDriver&) = delete;

  // IIPCaptureDriver ... IIPCaptureDriverEx3
  bool Open(ipcapture::IDebugMessageSink* sink, ipcapture::ICaptureFrameFactory* factory,
            ipcapture::IIPDeviceSettings* settings) override;
  void Close() override;
  ipcapture::IIPVideoCapture* GetVideoCapture() override;
  ICaptureIOApi* GetCaptureIOApi() override { return digital_io_.get(); }
  void* GetReserved6() override { return nullptr; }
  IIPPTZDriver* GetPTZDriver() override { return ptz_driver_.get(); }
  void* GetReserved8() override { return nullptr; }
  ipcapture::IIPVideoCaptureEx* GetVideoCaptureEx() override;
  IIPPTZDriverEx* GetPTZDriverEx() override { return ptz_driver_.get(); }

  // IDebugMessage: formats (any length), drops debug detail, maps the type to a level the host
  // version understands and hands the entry to the host's sink. Before Open it formats and drops.
  void Log(std::int32_t message_type, const char* format, ...) override
      __attribute__((format(printf, 3, 4)));
  void LogV(std::int32_t message_type, const char* format, va_list args);

  // Factory operations of the camera family.
  virtual bool CreateDigitalIO() = 0;
  // A new channel for video input `channel`, or null (no callback, or no channel for the stream
  // type). The caller owns it.
  virtual CBaseCameraChannel* CreateChannel(std::uint32_t channel, ipcapture::ICaptureFrameCallback* callback) = 0;

  const std::string& address() const { return address_; }
  std::uint16_t port() const { return port_; }
  const std::string& user_name() const { return user_name_; }
  const std::string& password() const { return password_; }
  std::int32_t video_channel_count() const { return video_channel_count_; }
  std::int32_t digital_input_count() const { return digital_input_count_; }
  std::int32_t digital_output_count() const { return digital_output_count_; }
  std::int32_t stream_type() const { return stream_type_; }
  bool ntsc() const { return ntsc_ != 0; }
  std::uint32_t communication_timeout_ms() const { return communication_timeout_ms_; }
  std::uint32_t long_timeout_ms() const { return long_timeout_ms_; }
  ipcapture::ICaptureFrameFactory* frame_factory() const { return frame_factory_; }
  const HostCoreVersion& host_core_version() const { return host_core_version_; }
  const char* CustomParameterText(std::uint32_t index) const { return custom_parameters_.Text(index); }
  std::int32_t CustomParameterInteger(std::uint32_t index) const { return custom_parameters_.Integer(index); }

 protected:
  // The camera-independent part of Open: copies the host's configuration and creates the digital
  // I/O object and the video capture object.
  bool OpenBase(ipcapture::IDebugMessageSink* sink, ipcapture::ICaptureFrameFactory* factory,
                ipcapture::IIPDeviceSettings* settings);
  // Whether an earlier Open left service objects (until Close): channel, I/O and PTZ threads may
  // be reading the configuration, so a second Open must change nothing and fail.
  bool HasServiceObjects() const { return video_capture_ || digital_io_ || ptz_driver_; }
  // The host core version is looked up through this, so tests can stand in a version.
  virtual HostCoreVersion LookUpHostCoreVersion() const;

  void SetTimeouts(std::uint32_t communication_ms) {
    communication_timeout_ms_ = communication_ms;
    long_timeout_ms_ = communication_ms * 2;
  }
  void SetNtsc(bool ntsc) { ntsc_ = ntsc ? 1 : 0; }

  std::unique_ptr<ICaptureIOApi> digital_io_;
  std::unique_ptr<IIPPTZDriverEx> ptz_driver_;

 private:
  ipcapture::IDebugMessageSink* sink_ = nullptr;  // host's; valid from Open until Close
  std::string address_;
  std::uint16_t port_ = 0;
  std::string user_name_;
  std::string password_;
  std::int32_t video_channel_count_ = 0;
  std::int32_t digital_input_count_ = 0;
  std::int32_t digital_output_count_ = 0;
  std::int32_t stream_type_ = 0;
  std::int32_t ntsc_ = 0;
  CCustomParameters custom_parameters_;
  HostCoreVersion host_core_version_;
  std::uint32_t communication_timeout_ms_ = kDefaultCommunicationTimeoutMs;
  std::uint32_t long_timeout_ms_ = 2 * kDefaultCommunicationTimeoutMs;
  ipcapture::ICaptureFrameFactory* frame_factory_ = nullptr;  // host's; valid from Open until Close
  std::unique_ptr<CIPVideoCapture> video_capture_;
};

}  // namespace kalmora
