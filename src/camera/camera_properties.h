// What a camera is and can do, read over HTTP before it is added: identity, firmware, device
// kind, PTZ heads, audio, video inputs, codecs with their frame rates, resolutions and bitrates,
// and how its digital inputs and outputs are addressed. Filled by Query, handed to the host by
// Save.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "camera/device_type.h"
#include "camera/value_functions.h"
#include "ptz/ptz_capabilities.h"

namespace kalmora::ipcapture {
class ICapabilityResults;
}

namespace Web {
class HttpRequest;
}

namespace kalmora {

// Host codec identifiers.
inline constexpr std::uint32_t kCodecMjpeg = 2;
inline constexpr std::uint32_t kCodecMpeg4 = 4;
inline constexpr std::uint32_t kCodecH264 = 16;

struct CResolution {
  std::vector<std::uint32_t> frame_intervals_ms;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
};

// What every camera family's properties fill in.
struct CCapabilityRecord {
  std::vector<std::uint32_t> codecs;  // in the order found; a codec may appear twice
  std::vector<CResolution> resolutions;
  std::string manufacturer;
  std::string model_name;  // manufacturer, a space, the model
  std::uint32_t video_inputs = 0;
  std::uint32_t inputs = 0;
  std::uint32_t outputs = 0;
  bool audio_output = false;
  bool ptz = false;
  // Set at the end of every query, whatever its outcome.
  bool query_done = false;
  bool query_finished = false;
};

class CCameraProperties {
 public:
  virtual ~CCameraProperties() = default;
};

class CBaseCameraProperties : public CCameraProperties {
 public:
  ~CBaseCameraProperties() override = default;
  // Not offered by any camera family here; kept for the host's layout.
  virtual int Unsupported7(int, int, int, int, int, int, int) = 0;
  // Reads everything from the camera request is set up for. error_code is left as the caller
  // preset it.
  virtual bool Query(Web::HttpRequest* request, std::int32_t& error_code) = 0;
  // Publishes into results; the connection fields come from request.
  virtual bool Save(kalmora::ipcapture::ICapabilityResults* results, const Web::HttpRequest* request) = 0;
  virtual int Unsupported6(int, int, int, int, int, int) = 0;
  // Any thread: the running query gives up at its next step or request.
  virtual void Terminate() { terminated_.store(true); }

  const CCapabilityRecord& record() const { return record_; }

 protected:
  bool terminated() const { return terminated_.load(); }

  CCapabilityRecord record_;

 private:
  std::atomic<bool> terminated_{false};
};

// How the camera's digital inputs are read (custom parameter 12).
enum InputMode : std::uint32_t {
  kInputModeNone = 0,
  kInputModeDeviceNames = 1,
  kInputModeCameraAlarms = 2,
  kInputModeSourceSelection = 3,
};

// How the camera's outputs are switched (custom parameter 13).
enum OutputMode : std::uint32_t {
  kOutputModeNone = 0,
  kOutputModeDeviceNames = 1,
  kOutputModeAuxiliary = 2,
};

// "%u.%u.%u" as the camera reports it. Three numbers, or two with a major above 0 (build 0), are
// kept; anything else (a sign, a letter, a number above 65535) is taken for the newest firmware
// generation, 2.4095.4095.
FirmwareVersion ParseFirmwareVersion(std::string_view text);

// Frames per second from a comma-separated list ("25,12.5,6.25"): ascending, without
// duplicates, each rounded, above 0 and at most 1000. For PAL, a list holding 30 is taken for an
// NTSC list and scaled by 25/30 (30 becomes 25, 15 becomes 12).
std::vector<std::uint32_t> ParseFrameRates(std::string_view list, bool ntsc);

class COrvaneCameraProperties : public CBaseCameraProperties {
 public:
  // The preset file name while the camera has no usable PTZ head.
  static constexpr const char* kNoPresetFile = "(none)";
  static constexpr std::size_t kMaxNamedDevices = 32;

  explicit COrvaneCameraProperties(bool ntsc);
  ~COrvaneCameraProperties() override = default;

  int Unsupported7(int, int, int, int, int, int, int) override { return 0; }
  bool Query(Web::HttpRequest* request, std::int32_t& error_code) override;
  bool Save(kalmora::ipcapture::ICapabilityResults* results, const Web::HttpRequest* request) override;
  int Unsupported6(int, int, int, int, int, int) override { return 0; }

  // What the query found beyond the record; read by Save and by tests.
  const std::vector<std::uint32_t>& frame_rates() const { return frame_rates_; }
  std::uint32_t min_bitrate() const { return min_bitrate_; }
  std::uint32_t max_bitrate() const { return max_bitrate_; }
  std::uint32_t ptz_channels() const { return ptz_channels_; }
  const std::string& preset_file() const { return preset_file_; }
  const FirmwareVersion& firmware() const { return firmware_; }
  const std::string& product_type() const { return product_type_; }
  DeviceKind device_kind() const { return device_kind_; }
  bool mjpeg_over_http() const { return mjpeg_over_http_; }
  bool media_type_supported() const { return media_type_supported_; }
  std::uint32_t first_source_input() const { return first_source_input_; }
  std::uint32_t input_mode() const { return input_mode_; }
  std::uint32_t output_mode() const { return output_mode_; }
  const COrvanePtzCapabilities& ptz_capabilities() const { return ptz_capabilities_; }

 protected:
  // One GET through request; true with the body (possibly empty) on status 200. Refuses once
  // terminated. Failures are not logged: a camera that does not answer is the host's to report.
  virtual bool SendRequest(Web::HttpRequest* request, const std::string& path, std::string& body);

 private:
  bool QueryIdentity(Web::HttpRequest* request);
  bool QueryFirmware(Web::HttpRequest* request);
  bool QueryProductType(Web::HttpRequest* request);
  bool QueryPtz(Web::HttpRequest* request);  // always true
  std::uint32_t CountPtzChannels(Web::HttpRequest* request);
  std::string ReadMacAddress(Web::HttpRequest* request);
  bool QueryAudio(Web::HttpRequest* request);
  bool QueryVideoInputs(Web::HttpRequest* request);
  // The codec steps (codec_properties.cpp).
  bool QueryCodecsBySwitching(Web::HttpRequest* request);
  bool QueryCodecsFromList(Web::HttpRequest* request);
  bool QueryMjpegOverHttp(Web::HttpRequest* request);
  std::string ReadCodecList(Web::HttpRequest* request);
  bool QueryMediaCapabilities(Web::HttpRequest* request, std::string_view token);
  bool QueryFrameRates(Web::HttpRequest* request, std::string_view token);
  bool QueryResolutions(Web::HttpRequest* request, std::string_view token);
  bool QueryBitrates(Web::HttpRequest* request, std::string_view token);
  // The digital I/O steps; each true when it found something.
  bool QueryDigitalIo(Web::HttpRequest* request);  // always true
  bool QueryDeviceNames(Web::HttpRequest* request);
  bool QueryAuxiliaryOutputs(Web::HttpRequest* request);
  bool QueryCameraAlarms(Web::HttpRequest* request);
  bool QuerySourceSelection(Web::HttpRequest* request);

  bool ntsc_;
  std::vector<std::uint32_t> frame_rates_;
  std::uint32_t min_bitrate_ = 0;
  std::uint32_t max_bitrate_ = 0;
  std::uint32_t ptz_channels_ = 0;
  std::string preset_file_ = kNoPresetFile;
  FirmwareVersion firmware_;
  std::string product_type_;
  DeviceKind device_kind_ = kDeviceKindUndetermined;
  bool mjpeg_over_http_ = false;
  bool media_type_supported_ = false;
  bool codecs_found_by_switching_ = false;
  std::uint32_t first_source_input_ = 0;
  std::uint32_t input_mode_ = kInputModeNone;
  std::uint32_t output_mode_ = kOutputModeNone;
  COrvanePtzCapabilities ptz_capabilities_;
};

}  // namespace kalmora
