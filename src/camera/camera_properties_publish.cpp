// Publication of the camera properties into the host's results: model, capabilities,
// resolutions, connection fields, frame intervals and the fourteen custom parameters the driver
// reads back when the camera is added.
#include "camera/camera_properties.h"
#include "camera/http_request.h"
#include "driver/custom_parameters.h"
#include "host/capability_query.h"

namespace kalmora {
namespace {

using namespace ipcapture;

constexpr std::uint32_t kProposedNetworkTimeoutMs = 5000;

void Publish(ICapabilityResults* results, std::int32_t index, const char* name, std::int32_t kind,
             const std::string& value) {
  ipcapture::IResultParameter* parameter = results->GetParameter(index);
  if (parameter == nullptr) return;
  parameter->SetName(name);
  parameter->SetOption(0);
  parameter->SetKind(kind);
  parameter->SetValue(value.c_str());
}

}  // namespace

bool COrvaneCameraProperties::Save(ICapabilityResults* results, const Web::HttpRequest* request) {
  if (results == nullptr || request == nullptr) return false;
  results->SetModelName(record_.model_name.c_str());
  if (record_.query_done) results->SetCapability(kCapQueryDone, 1);
  if (record_.query_finished) results->SetCapability(kCapQueryFinished, 1);
  results->SetCapability(kCapVideoInputs, static_cast<std::int32_t>(record_.video_inputs));
  if (record_.inputs != 0) results->SetCapability(kCapDigitalInputs, static_cast<std::int32_t>(record_.inputs));
  if (record_.outputs != 0) results->SetCapability(kCapDigitalOutputs, static_cast<std::int32_t>(record_.outputs));
  if (record_.ptz) results->SetCapability(kCapPtz, 1);
  if (record_.audio_output) results->SetCapability(kCapAudioOutput, 1);
  for (const std::uint32_t codec : record_.codecs) {
    if (codec == kCodecMjpeg) results->SetCapability(kCapMjpeg, 1);
    if (codec == kCodecMpeg4) results->SetCapability(kCapMpeg4, 1);
    if (codec == kCodecH264) results->SetCapability(kCapH264, 1);
  }
  if (ipcapture::IResolutionList* list = results->GetResolutionList(); list != nullptr) {
    for (const CResolution& resolution : record_.resolutions) {
      const std::string name = FormatText("%dx%d", resolution.width, resolution.height).substr(0, 31);
      list->Add(name.c_str(), resolution.width, resolution.height,
                resolution.frame_intervals_ms.empty() ? 0 : static_cast<std::int32_t>(resolution.frame_intervals_ms[0]));
    }
  }
  const std::string port = std::to_string(request->GetPort());
  const char* const connection[] = {request->GetHost().c_str(), port.c_str(), request->GetUserName().c_str(),
                                    request->GetPassword().c_str()};
  for (std::int32_t index = 1; index <= 4; ++index) {
    if (ipcapture::IResultText* field = results->GetConnectionField(index); field != nullptr) {
      field->SetText(connection[index - 1]);
    }
  }
  // Without frame rates the host cannot propose a frame interval, so the camera is not added.
  if (frame_rates_.empty()) return false;
  if (ipcapture::IFrameIntervalList* intervals = results->GetFrameIntervalList(1); intervals != nullptr) {
    for (const std::uint32_t rate : frame_rates_) intervals->Add(1000 / rate);
    intervals->SetDefault(1000 / frame_rates_[frame_rates_.size() / 2]);
  }
  const auto number = [](std::uint32_t value) { return std::to_string(value); };
  Publish(results, kParamNetworkTimeout, "Network timeout", 0, number(kProposedNetworkTimeoutMs));
  Publish(results, kParamVideoStandard, "Video standard", 0, ntsc_ ? "1" : "0");
  Publish(results, kParamDeviceType, "Orvane Device Type", 1, product_type_);
  Publish(results, kParamMinimumBitrate, "Minimum bitrate", 0, number(min_bitrate_));
  Publish(results, kParamMaximumBitrate, "Maximum bitrate", 0, number(max_bitrate_));
  Publish(results, kParamMjpegOverHttp, "Use MJPEG video receiving via HTTP", 0, mjpeg_over_http_ ? "1" : "0");
  Publish(results, kParamMediaTypeSupport, "MediaType parameter support option", 0, media_type_supported_ ? "1" : "0");
  Publish(results, kParamPtzChannels, "Number of Supported PTZ Channels", 0, record_.ptz ? number(ptz_channels_) : "0");
  Publish(results, kParamPresetFile, "Filename for Preset XML Storage", 1, preset_file_);
  Publish(results, kParamPtzCapabilities, "Orvane PTZ capabilities", 1, ptz_capabilities_.Format());
  Publish(results, kParamFirstInputId, "First input ID for IP PTZ cameras", 0, number(first_source_input_));
  Publish(results, kParamInputCommandType, "Command type for input states receiving", 0, number(input_mode_));
  Publish(results, kParamOutputCommandType, "Command type for output state setting", 0, number(output_mode_));
  Publish(results, kParamFirmware, "Firmware", 1, FormatVersion(firmware_));
  return true;
}

}  // namespace kalmora
