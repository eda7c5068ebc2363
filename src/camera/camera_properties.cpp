#include "camera/camera_properties.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

#include "camera/http_request.h"
#include "camera/parameter_reply.h"

namespace kalmora {
namespace {

constexpr std::string_view kPtzPrefix = "Data-1.Ptz-";
constexpr std::uint32_t kMaxPtzInstances = 32;
constexpr std::string_view kOldFirmwareProductType = "Common camera with old firmware";
constexpr FirmwareVersion kNewestFirmware{2, 4095, 4095};
constexpr std::size_t kMaxSourceSelectionEntries = 31;

std::string Value(std::string_view key, std::string_view body) { return GetValue(key, "=", body, "\r\n"); }

// A decimal field as "%u" reads it, but refusing the sign "%u" would take and anything that
// does not fit 16 bits. -1 when the text at pos does not start such a field.
std::int64_t ReadVersionField(std::string_view text, std::size_t& pos) {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  if (pos >= text.size() || !std::isdigit(static_cast<unsigned char>(text[pos]))) return -1;
  std::uint64_t value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    value = value * 10 + static_cast<std::uint64_t>(text[pos++] - '0');
    if (value > std::numeric_limits<std::uint16_t>::max()) return -2;
  }
  return static_cast<std::int64_t>(value);
}

}  // namespace

FirmwareVersion ParseFirmwareVersion(std::string_view text) {
  std::uint16_t fields[3] = {0, 0, 0};
  std::size_t count = 0;
  std::size_t pos = 0;
  while (count < 3) {
    if (count > 0) {
      if (pos >= text.size() || text[pos] != '.') break;
      ++pos;
    }
    const std::int64_t field = ReadVersionField(text, pos);
    if (field == -2) return kNewestFirmware;
    if (field < 0) break;
    fields[count++] = static_cast<std::uint16_t>(field);
  }
  if (count == 3 || (count == 2 && fields[0] > 0)) return FirmwareVersion{fields[0], fields[1], fields[2]};
  return kNewestFirmware;
}

COrvaneCameraProperties::COrvaneCameraProperties(bool ntsc) : ntsc_(ntsc) {}

bool COrvaneCameraProperties::SendRequest(Web::HttpRequest* request, const std::string& path, std::string& body) {
  body.clear();
  if (request == nullptr || terminated()) return false;
  if (!request->Get(path) || request->GetStatusCode() != 200) return false;
  // The request caps the body, so growing by what is available stays bounded.
  for (std::uint32_t available = request->QueryDataAvailable(); available > 0;
       available = request->QueryDataAvailable()) {
    const std::size_t old_size = body.size();
    body.resize(old_size + available);
    std::uint32_t read = 0;
    if (!request->ReadData(body.data() + old_size, available, &read) || read == 0) {
      body.clear();
      return false;
    }
    body.resize(old_size + read);
  }
  return true;
}

bool COrvaneCameraProperties::Query(Web::HttpRequest* request, std::int32_t& /*error_code*/) {
  if (request == nullptr) return false;
  using Step = bool (COrvaneCameraProperties::*)(Web::HttpRequest*);
  static constexpr Step kSteps[] = {
      &COrvaneCameraProperties::QueryIdentity,          &COrvaneCameraProperties::QueryFirmware,
      &COrvaneCameraProperties::QueryProductType,       &COrvaneCameraProperties::QueryPtz,
      &COrvaneCameraProperties::QueryAudio,             &COrvaneCameraProperties::QueryVideoInputs,
      &COrvaneCameraProperties::QueryCodecsBySwitching, &COrvaneCameraProperties::QueryCodecsFromList,
      &COrvaneCameraProperties::QueryMjpegOverHttp,     &COrvaneCameraProperties::QueryDigitalIo,
  };
  bool ok = true;
  for (std::size_t step = 0; ok && step < std::size(kSteps); ++step) {
    // Once terminated, the remaining steps are skipped and count as done; publication then
    // decides with what was read.
    if (step > 0 && terminated()) break;
    ok = (this->*kSteps[step])(request);
  }
  record_.query_done = true;
  record_.query_finished = true;
  return ok;
}

bool COrvaneCameraProperties::QueryIdentity(Web::HttpRequest* request) {
  std::string body;
  if (!SendRequest(request, "/api/param.cgi?req=General.Brand", body)) return false;
  const std::string company = FirstMatchValue("General.Brand.CompanyName", "=", body);
  const std::string model = FirstMatchValue("General.Brand.ModelName", "=", body);
  if (company.empty() || model.empty()) return false;
  record_.manufacturer = company;
  record_.model_name = company + " " + model;
  return true;
}

bool COrvaneCameraProperties::QueryFirmware(Web::HttpRequest* request) {
  std::string body;
  if (!SendRequest(request, "/params/get.cgi?General.ProductVersion", body)) return false;
  const std::string version = FirstMatchValue("General.ProductVersion", "=", body);
  if (version.empty()) return false;
  firmware_ = ParseFirmwareVersion(version);
  return true;
}

bool COrvaneCameraProperties::QueryProductType(Web::HttpRequest* request) {
  std::string body;
  if (!SendRequest(request, "/api/param.cgi?req=General.Brand.ProductType", body) || body.empty()) return false;
  std::string type = Value("General.Brand.ProductType", body);
  if (type.empty()) return false;
  device_kind_ = ClassifyDeviceType(type);
  // PTZ models on firmware 1.x lack the PTZ keys the driver uses.
  if (device_kind_ == kDeviceKindPtzCamera && firmware_.major < 2) {
    device_kind_ = kDeviceKindOtherCamera;
    type = kOldFirmwareProductType;
  }
  product_type_ = std::move(type);
  return true;
}

std::uint32_t COrvaneCameraProperties::CountPtzChannels(Web::HttpRequest* request) {
  std::string body;
  const auto highest = [](const std::string& reply) {
    return static_cast<std::uint32_t>(std::max(COrvaneResponseParser(reply).MaxIndex(kPtzPrefix), 0));
  };
  if (SendRequest(request, ParamsGetRequest(std::string(kPtzPrefix) + "*.CameraId"), body) && !body.empty()) {
    return highest(body);
  }
  // Some firmware refuses wildcard reads of the PTZ keys to every user but answers them one by one.
  if (request->GetStatusCode() != 401) return 0;
  std::uint32_t count = 0;
  for (std::uint32_t instance = 1; instance <= kMaxPtzInstances; ++instance) {
    const std::string key = std::string(kPtzPrefix) + std::to_string(instance) + ".CameraId";
    if (!SendRequest(request, ParamsGetRequest(key), body) || body.empty()) break;
    count = std::max(count, highest(body));
  }
  return count;
}

bool COrvaneCameraProperties::QueryPtz(Web::HttpRequest* request) {
  ptz_channels_ = CountPtzChannels(request);
  if (ptz_channels_ > 0) {
    std::string body;
    SendRequest(request, ParamsListRequest(std::string(kPtzPrefix) + "1.*"), body);
    if (ptz_capabilities_.ParseListResponse(body)) {
      const std::string mac = ReadMacAddress(request);
      if (!mac.empty()) {
        preset_file_ = FormatText("Orvane_%s.preset", mac.c_str());
        record_.ptz = true;
        return true;
      }
    }
  }
  ptz_channels_ = 0;
  preset_file_ = kNoPresetFile;
  return true;
}

std::string COrvaneCameraProperties::ReadMacAddress(Web::HttpRequest* request) {
  std::string body;
  if (!SendRequest(request, "/api/param.cgi?req=Network.1", body)) return {};
  std::string mac = Value("Network.1.MacAddress", body);
  if (mac.empty()) mac = Value("Network.1.Attributes.MacAddress", body);
  // Only letters and digits: the address becomes part of a file name.
  std::erase_if(mac, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); });
  return mac;
}

bool COrvaneCameraProperties::QueryAudio(Web::HttpRequest* request) {
  std::string body;
  if (!SendRequest(request, "params/get.cgi?Audio-1.Output-1*", body)) return false;
  record_.audio_output = !body.empty();
  return true;
}

bool COrvaneCameraProperties::QueryVideoInputs(Web::HttpRequest* request) {
  std::string body;
  if (!SendRequest(request, "/api/param.cgi?req=VideoInput.Capabilities.EntityCount", body)) return false;
  int count = 0;
  if (!ParseInt(FirstMatchValue("VideoInput.Capabilities.EntityCount", "=", body), count) || count < 0) return false;
  record_.video_inputs = static_cast<std::uint32_t>(count);
  return true;
}

bool COrvaneCameraProperties::QueryDigitalIo(Web::HttpRequest* request) {
  input_mode_ = kInputModeNone;
  output_mode_ = kOutputModeNone;
  if (device_kind_ == kDeviceKindServer) {
    QueryDeviceNames(request);
  } else if (device_kind_ == kDeviceKindPtzCamera || device_kind_ == kDeviceKindOtherCamera) {
    if (!QueryDeviceNames(request) && !terminated()) {
      QueryAuxiliaryOutputs(request);
      if (!terminated() && !QueryCameraAlarms(request) && !terminated()) QuerySourceSelection(request);
    }
  }
  if (input_mode_ == kInputModeNone) record_.inputs = 0;
  if (output_mode_ == kOutputModeNone) record_.outputs = 0;
  return true;
}

bool COrvaneCameraProperties::QueryDeviceNames(Web::HttpRequest* request) {
  std::string body;
  if (!SendRequest(request, ParamsGetRequest("Cc-1*DeviceName*"), body) || body.empty()) return false;
  // Named devices are numbered from 1 without gaps; the first missing name ends the count.
  const auto count_named = [&body](const char* kind) {
    std::uint32_t count = 0;
    while (count < kMaxNamedDevices &&
           !Value(std::string("Cc-1.") + kind + "-" + std::to_string(count + 1) + ".DeviceName", body).empty()) {
      ++count;
    }
    return count;
  };
  if (const std::uint32_t inputs = count_named("Input"); inputs > 0) {
    record_.inputs = inputs;
    input_mode_ = kInputModeDeviceNames;
  }
  if (const std::uint32_t outputs = count_named("Output"); outputs > 0) {
    record_.outputs = outputs;
    output_mode_ = kOutputModeDeviceNames;
  }
  return record_.inputs + record_.outputs > 0;
}

bool COrvaneCameraProperties::QueryAuxiliaryOutputs(Web::HttpRequest* request) {
  std::string body;
  if (!SendRequest(request, ParamsGetRequest("Data-1.Status.AuxOut*"), body)) return false;
  if (Value("Data-1.Status.AuxOut1", body).empty()) return false;
  record_.outputs = 1;
  output_mode_ = kOutputModeAuxiliary;
  return true;
}

bool COrvaneCameraProperties::QueryCameraAlarms(Web::HttpRequest* request) {
  std::string body;
  if (!SendRequest(request, ParamsGetRequest("Data-1.Status.CameraAlarm*"), body)) return false;
  std::uint32_t count = 0;
  while (count < kMaxNamedDevices && !Value(FormatText("Data-1.Status.CameraAlarm%u", count + 1), body).empty()) {
    ++count;
  }
  if (count == 0) return false;
  record_.inputs = count;
  input_mode_ = kInputModeCameraAlarms;
  return true;
}

bool COrvaneCameraProperties::QuerySourceSelection(Web::HttpRequest* request) {
  std::string body;
  if (!SendRequest(request, ParamsGetRequest("Cc-1.Udp-1.SourceSelection.Input*S*"), body)) return false;
  std::uint32_t first = 0;
  std::uint32_t highest_alarm = 0;
  for (std::uint32_t entry = 1; entry <= kMaxSourceSelectionEntries; ++entry) {
    const std::string source = Value(FormatText("Cc-1.Udp-1.SourceSelection.Input%uSource", entry), body);
    const std::string status = Value(FormatText("Cc-1.Udp-1.SourceSelection.Input%uStatus", entry), body);
    if (source.empty() && status.empty()) break;
    unsigned alarm = 0;
    if (source.empty() || std::sscanf(source.c_str(), "Camera Alarm %u", &alarm) != 1) continue;
    // Alarm numbers outside the camera's 32 inputs (or a wrapped negative one) name nothing.
    if (alarm == 0 || alarm > kMaxNamedDevices) continue;
    if (first == 0) first = entry;
    highest_alarm = std::max<std::uint32_t>(highest_alarm, alarm);
  }
  if (highest_alarm == 0) return false;
  first_source_input_ = first;
  record_.inputs = highest_alarm;
  input_mode_ = kInputModeSourceSelection;
  return true;
}

}  // namespace kalmora
