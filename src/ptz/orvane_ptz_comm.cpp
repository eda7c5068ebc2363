#include "ptz/orvane_ptz_comm.h"

#include <algorithm>

#include "camera/parameter_reply.h"
#include "camera/scale_converter.h"
#include "camera/value_functions.h"
#include "driver/custom_parameters.h"
#include "ptz/ptz_device.h"

namespace kalmora {
namespace {

constexpr const char* kHandleWorkItem = "kalmora::COrvanePTZComm::HandleWorkItem";
constexpr const char* kSendRequestWrapper = "kalmora::COrvanePTZComm::SendRequestWrapper";
constexpr int kMinHostSpeed = 1;
constexpr int kMaxHostSpeed = 16;

// A host speed on the camera's scale 1..maximum. The host's value is clamped as a signed
// number first, so -1 is the slowest speed, not the fastest. The converter is local: motion
// calls of one channel may come from several host threads.
int MapSpeed(std::uint32_t maximum, int speed) {
  CScaleConverter converter;
  converter.SetTargetRange(maximum);
  const int host_speed = std::clamp(speed, kMinHostSpeed, kMaxHostSpeed);
  return static_cast<int>(converter.Convert(static_cast<std::uint32_t>(host_speed)));
}

const char* Text(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

COrvanePTZComm::COrvanePTZComm(IDevice* device, std::uint32_t channel)
    : CBasePTZComm(device, channel),
      caller_client_("Kalmora::HttpClient", kTimeoutMs),
      worker_client_("Kalmora::HttpClient", kTimeoutMs),
      device_kind_(ClassifyDeviceType(device != nullptr ? Text(device->GetCustomParameter(kParamDeviceType)) : "")),
      prefix_("Data-1.Ptz-" + std::to_string(static_cast<unsigned long long>(channel) + 1)) {
  if (device == nullptr) return;
  for (Web::CHttpClient* client : {&caller_client_, &worker_client_}) {
    client->SetHost(device->GetAddress());
    client->SetPort(device->GetPort());
    client->SetUser(device->GetUserName());
    client->SetPassword(device->GetPassword());
  }
}

COrvanePTZComm::~COrvanePTZComm() { Close(); }

bool COrvanePTZComm::InitializeAdditionalData() {
  const char* text = device() != nullptr ? Text(device()->GetCustomParameter(kParamPtzCapabilities)) : "";
  bool ok = *text != '\0' && capabilities_.Parse(text);
  if (ok) {
    preset_slots_ = BuildPresetSlotTable(device_kind_, capabilities_.first_preset_slot, capabilities_.last_preset_slot);
    ok = !preset_slots_.empty();
  } else {
    preset_slots_.clear();
  }
  preset_slot_count_ = static_cast<std::uint32_t>(preset_slots_.size());
  if (!ok && device() != nullptr) {
    device()->Log(1, "%s: PTZ module cannot be created. Incorrect custom parameter value: \"%s\"",
                  "kalmora::COrvanePTZComm::InitializeAdditionalData", *text != '\0' ? text : "(null)");
  }
  return ok;
}

void COrvanePTZComm::ConvertMoveSpeed(int direction, int speed, int& speed0, int& speed1) {
  speed0 = 0;
  speed1 = 0;
  if (direction == 0 || direction == 1) {
    speed1 = MapSpeed(capabilities_.pan_max, speed);
  } else if (direction == 2 || direction == 3) {
    speed0 = MapSpeed(capabilities_.tilt_max, speed);
  } else if (direction >= 4 && direction <= 7) {
    speed0 = MapSpeed(capabilities_.tilt_max, speed);
    speed1 = MapSpeed(capabilities_.pan_max, speed);
  } else if (direction == 8 || direction == 9) {
    speed0 = MapSpeed(capabilities_.zoom_max, speed);
  }
}

int COrvanePTZComm::ConvertFocusSpeed(int speed) { return MapSpeed(capabilities_.focus_max, speed); }

int COrvanePTZComm::ConvertIrisSpeed(int speed) { return MapSpeed(capabilities_.iris_max, speed); }

std::string COrvanePTZComm::BuildRequest(const CWorkItem& command) const {
  const auto item = [this](const char* suffix, long long value) {
    return prefix_ + suffix + "=" + std::to_string(value);
  };
  const std::string head(kParamsSetPath);
  // A move carries the tilt (or zoom) speed first and the pan speed second.
  const long long t = command.first;
  const long long p = command.second;
  const long long s = command.value;
  switch (command.message_id) {
    case MSG_MOVE:
      switch (command.value) {
        case 0: return head + item(".Pan", -p);
        case 1: return head + item(".Pan", p);
        case 2: return head + item(".Tilt", t);
        case 3: return head + item(".Tilt", -t);
        case 4: return head + item(".Pan", -p) + "&" + item(".Tilt", t);
        case 5: return head + item(".Pan", p) + "&" + item(".Tilt", t);
        case 6: return head + item(".Pan", -p) + "&" + item(".Tilt", -t);
        case 7: return head + item(".Pan", p) + "&" + item(".Tilt", -t);
        case 8: return head + item(".Zoom", t);
        case 9: return head + item(".Zoom", -t);
        default: return head;  // what the camera makes of it is the camera's
      }
    case MSG_FOCUS:
      if (command.sub_code == kFocusPositive) return head + item(".Focus", s);
      if (command.sub_code == kFocusNegative) return head + item(".Focus", -s);
      return {};
    case MSG_IRIS:
      if (command.sub_code == kIrisPositive) return head + item(".Iris", s);
      if (command.sub_code == kIrisNegative) return head + item(".Iris", -s);
      return {};
    case MSG_STOP:
      switch (command.sub_code) {
        case kStopPanTilt: return head + item(".Pan", 0) + "&" + item(".Tilt", 0);
        case kStopZoom: return head + item(".Zoom", 0);
        case kStopFocus: return head + item(".Focus", 0);
        case kStopIris: return head + item(".Iris", 0);
        default: return {};
      }
    default:
      return {};
  }
}

void COrvanePTZComm::HandleWorkItem(IWorkItem* item) {
  auto* command = dynamic_cast<CWorkItem*>(item);
  if (command == nullptr) return;
  CResultDef result(3);
  std::string request;
  switch (command->message_id) {
    case MSG_MOVE:
      if (command->first != 0 || command->second != 0) {
        SetManualMode(command->params, false, false);
        SetManualMode(command->params, true, false);
      }
      request = BuildRequest(*command);
      break;
    case MSG_FOCUS:
      request = BuildRequest(*command);
      if (command->value != 0) SetManualMode(command->params, false, true);
      break;
    case MSG_IRIS:
      request = BuildRequest(*command);
      if (command->value != 0) SetManualMode(command->params, true, true);
      break;
    case MSG_STOP:
      request = BuildRequest(*command);
      break;
    case MSG_AREAZOOM:
      result.Set(4, 4, FormatText("%s: command MSG_AREAZOOM is not supported", kHandleWorkItem));
      break;
    case MSG_CENTER:
      result.Set(4, 4, FormatText("%s: command MSG_CENTER is not supported", kHandleWorkItem));
      break;
    case MSG_UNZOOM:
      result.Set(4, 4, FormatText("%s: command MSG_UNZOOM is not supported", kHandleWorkItem));
      break;
    default:
      result.Set(1, 2, FormatText("%s: unexpected command ID=%u", kHandleWorkItem,
                                  static_cast<unsigned>(command->message_id)));
      break;
  }
  if (result.ok() && request.empty()) {
    result.Set(1, 2, FormatText("%s: error occurs during HTTP request generation", kHandleWorkItem));
  }
  if (result.ok()) {
    std::vector<std::uint8_t> body;
    SendRequestWrapper(request, worker_client_, result, body);
  }
  // A request cut by Close failed because of the close, not the camera.
  if (!closing_.load()) ReportResult(this, result);
}

void COrvanePTZComm::SetManualMode(IIPParams* params, bool iris, bool manual) {
  if (params == nullptr) return;
  if ((iris ? params->GetManualIrisState() : params->GetManualFocusState()) == manual) return;
  const auto record = [params, iris, manual] {
    if (iris) {
      params->SetManualIrisState(manual);
    } else {
      params->SetManualFocusState(manual);
    }
  };
  if (!(iris ? capabilities_.has_auto_iris : capabilities_.has_auto_focus)) {
    record();
    return;
  }
  const char* function = iris ? "kalmora::COrvanePTZComm::SetManualIris" : "kalmora::COrvanePTZComm::SetManualFocus";
  const char* word = iris ? "AutoIris" : "AutoFocus";
  const char* state = manual ? "Off" : "On";
  const std::string request = std::string(kParamsSetPath) + prefix_ + "." + word + "=" + state;
  const bool sent = worker_client_.SendRequest("GET", request);
  const std::uint32_t status = worker_client_.GetStatusCode();
  const unsigned port = worker_client_.port();
  CResultDef result(3);
  if (!sent || status == 0) {
    result.Set(1, 3,
               FormatText("%s: can not send request to %s:%u device", function, worker_client_.host().c_str(), port));
  } else if (status != 200) {
    result.Set(1, 3, FormatText("%s: host %s:%u does not process request \"%s\", status code = %u", function,
                                worker_client_.host().c_str(), port, request.c_str(), static_cast<unsigned>(status)));
  } else {
    record();
    Log(4, "%s: %s state for %s:%u was updated to %s", function, word, worker_client_.host().c_str(), port, state);
    return;
  }
  if (!closing_.load()) ReportResult(this, result);
}

void COrvanePTZComm::SendRequestWrapper(const std::string& request, Web::CHttpClient& client, CResultDef& result,
                                        std::vector<std::uint8_t>& body) {
  body.clear();
  const bool sent = client.SendRequest("GET", request);
  const std::uint32_t status = client.GetStatusCode();
  result.Set(3, 0, {});
  const std::string host = FormatText("host %s:%u", client.host().c_str(), static_cast<unsigned>(client.port()));
  if (!sent || status == 0) {
    result.Set(1, 3, FormatText("%s: can not send request \"%s\" to %s", kSendRequestWrapper, request.c_str(),
                                host.c_str()));
  } else if (status != 200) {
    result.Set(1, 3, FormatText("%s: %s does not process request \"%s\", status code = %d", kSendRequestWrapper,
                                host.c_str(), request.c_str(), static_cast<int>(status)));
  } else if (client.ReadResponseBody(body, kMaxReplyChunk) == 0) {
    result.Set(1, 5, FormatText("%s: incorrect response for request \"%s\" from %s", kSendRequestWrapper,
                                request.c_str(), host.c_str()));
  } else {
    body.push_back(0);
  }
}

bool COrvanePTZComm::SendPresetRequest(const char* key_suffix, std::uint32_t key) {
  if (key >= preset_slots_.size()) return false;
  const std::string request =
      std::string(kParamsSetPath) + prefix_ + key_suffix + "=" + std::to_string(preset_slots_[key]);
  std::lock_guard<std::mutex> lock(caller_mutex_);
  CResultDef result(3);
  std::vector<std::uint8_t> body;
  SendRequestWrapper(request, caller_client_, result, body);
  // A camera that stores or recalls without saying anything has still done it.
  return result.ok() || result.code() == 5;
}

bool COrvanePTZComm::SetPreset(std::uint32_t key) { return SendPresetRequest(".SetPreset", key); }

bool COrvanePTZComm::GoPreset(std::uint32_t key, int /*extra*/) { return SendPresetRequest(".GoPreset", key); }

bool COrvanePTZComm::DeletePreset(std::uint32_t /*key*/) { return true; }

bool COrvanePTZComm::IsPTZEnabled(IIPParams* /*params*/) {
  if (device_kind_ != kDeviceKindServer) return true;
  const char* function = "kalmora::COrvanePTZComm::IsPTZEnabled";
  const std::string protocol_key = prefix_ + ".CameraProtocolFile";
  const std::string camera_key = prefix_ + ".CameraId";
  const std::string request = std::string(kParamsGetPath) + protocol_key + "&" + camera_key;
  std::lock_guard<std::mutex> lock(caller_mutex_);
  CResultDef result(3);
  std::vector<std::uint8_t> body;
  SendRequestWrapper(request, caller_client_, result, body);
  const std::string host = caller_client_.host();
  const unsigned port = caller_client_.port();
  bool enabled = false;
  if (!result.ok()) {
    // reported below
  } else if (body.size() <= 1) {
    result.Set(1, 5, FormatText("%s: cannot parse response from %s:%u device - response is empty", function,
                                host.c_str(), port));
  } else {
    const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size() - 1);
    const std::string protocol = GetValue(protocol_key, "=", text, "\r\n");
    int camera = 0;
    if (!ParseInt(GetValue(camera_key, "=", text, "\r\n"), camera)) camera = 0;
    enabled = !protocol.empty() && camera >= 1;
    result.Set(3, 0, FormatText("PTZ settings for device %s:%u, data channel %u: Protocol=\"%s\", CameraID=%d. "
                                "Current channel is %sPTZ",
                                host.c_str(), port, channel() + 1, protocol.c_str(), camera, enabled ? "" : "non-"));
  }
  ReportResult(this, result);
  return enabled;
}

int COrvanePTZComm::GetCapabilities(PTZCapabilityRecord* record) {
  ResetErrorCount();
  if (record == nullptr) return -3;
  for (int word = 1; word <= 5; ++word) record->words[word] = 1;
  for (int word = 6; word < PTZCapabilityRecord::kWordCount; ++word) record->words[word] = 0;
  return 1;
}

void COrvanePTZComm::AbortRequests() {
  closing_.store(true);
  worker_client_.Cancel();
}

void COrvanePTZComm::ResumeRequests() {
  worker_client_.ResetCancel();
  closing_.store(false);
}

}  // namespace kalmora
