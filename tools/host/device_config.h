#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/device_settings.h"
#include "host/frame.h"

namespace tessavirn_host {

// What the recorder knows of one camera before it opens a driver for it.
struct DeviceConfig {
  std::string model = "IP camera";
  std::int32_t video_channels = 1;
  std::int32_t digital_inputs = 0;
  std::int32_t digital_outputs = 0;
  std::string address;
  std::uint16_t port = 80;
  std::int32_t stream_type = 3;
  std::string user;
  std::string password;
  std::map<std::uint32_t, std::string> custom_parameters;
};

// "h264", "mjpeg", "mpeg4" or a number; empty for anything else.
std::optional<std::int32_t> ParseStreamType(const std::string& text);

// "N=TEXT" into the configuration's custom parameters; false when malformed.
bool AddCustomParameter(DeviceConfig& config, const std::string& assignment);

// The host's own check of the custom parameters the driver requires (1, 2, 6 and 8): one line
// for each that is missing or not a decimal integer. The driver fails such an open silently.
std::vector<std::string> DescribeRequiredParameterProblems(const DeviceConfig& config);

// The driver keeps custom parameters from 1 upward and stops at the first missing index. When
// the configuration has parameters beyond such a gap (other than the four required ones, which
// Open asks for directly), a warning that names them; else empty.
std::string DescribeUnreadParameters(const DeviceConfig& config);

// The device settings object handed to the driver's Open, with its device information and
// connection settings. Only reads the configuration, which must outlive it.
class DeviceSettings final : public kalmora::ipcapture::IIPDeviceSettings,
                             public kalmora::ipcapture::IIPDeviceInfo,
                             public kalmora::ipcapture::IIPConnectionSettings {
 public:
  explicit DeviceSettings(const DeviceConfig& config) : config_(config) {}

  kalmora::ipcapture::IIPDeviceInfo* GetDeviceInfo() override { return this; }
  kalmora::ipcapture::IIPConnectionSettings* GetConnectionSettings() override { return this; }
  const char* GetCustomParameter(std::uint32_t index) override;

  const char* GetDeviceModel() override { return config_.model.c_str(); }
  std::int32_t GetVideoChannelCount() override { return config_.video_channels; }
  std::int32_t GetDigitalInputCount() override { return config_.digital_inputs; }
  std::int32_t GetDigitalOutputCount() override { return config_.digital_outputs; }

  const char* GetAddress() override { return config_.address.c_str(); }
  std::uint16_t GetPort() override { return config_.port; }
  std::int32_t GetStreamType() override { return config_.stream_type; }
  const char* GetUserName() override { return config_.user.c_str(); }
  const char* GetPassword() override { return config_.password.c_str(); }

  // Shared by the three interfaces; never called by the driver.
  void Reserved2() override {}
  void Reserved4() override {}
  void Reserved5() override {}

 private:
  const DeviceConfig& config_;
};

// The settings of one channel start: picture size, frame interval and quality.
class ChannelSettings final : public kalmora::ipcapture::IIPChannelSettings,
                              public kalmora::ipcapture::IIPPictureSettings,
                              public kalmora::ipcapture::IIPRateSettings,
                              public kalmora::ipcapture::IIPPictureSize {
 public:
  ChannelSettings(std::uint16_t width, std::uint16_t height, std::uint16_t interval_ms, std::uint16_t quality)
      : width_(width), height_(height), interval_ms_(interval_ms), quality_(quality) {}

  kalmora::ipcapture::IIPPictureSettings* GetPictureSettings() override { return this; }
  kalmora::ipcapture::IIPRateSettings* GetRateSettings() override { return this; }
  kalmora::ipcapture::IIPPictureSize* GetPictureSize() override { return this; }
  std::uint16_t GetFrameInterval() override { return interval_ms_; }
  std::uint16_t GetQuality() override { return quality_; }
  std::uint16_t GetWidth() override { return width_; }
  std::uint16_t GetHeight() override { return height_; }
  void Reserved2() override {}
  void Reserved3() override {}

 private:
  std::uint16_t width_;
  std::uint16_t height_;
  std::uint16_t interval_ms_;
  std::uint16_t quality_;
};

}  // namespace tessavirn_host
