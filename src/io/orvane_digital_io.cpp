#include "io/orvane_digital_io.h"

#include <vector>

#include "camera/parameter_reply.h"
#include "camera/value_functions.h"
#include "driver/capture_driver.h"
#include "driver/log_level.h"

namespace kalmora {
namespace {

constexpr const char* kAgent = "Kalmora::HttpClient";
constexpr const char* kGetInputStates = "kalmora::COrvaneDigitalIO::GetInputStates";
constexpr const char* kWriteOutput = "kalmora::COrvaneDigitalIO::WriteOutput";
constexpr std::string_view kCameraAlarm = "Camera Alarm ";

void Connect(Web::CHttpClient& client, const CIPCaptureDriver& driver) {
  client.SetHost(driver.address().c_str());
  client.SetPort(driver.port());
  client.SetUser(driver.user_name().c_str());
  client.SetPassword(driver.password().c_str());
}

// "ON" active, "-" inactive, anything else unknown; exact and case-sensitive.
std::int32_t AlarmValueState(std::string_view value) {
  if (value == "ON") return ipcapture::kIoActive;
  if (value == "-") return ipcapture::kIoInactive;
  return ipcapture::kIoUnknown;
}

// Whether source reads "Camera Alarm " and then the decimal number alarm.
bool NamesCameraAlarm(std::string_view source, std::uint32_t alarm) {
  if (!source.starts_with(kCameraAlarm)) return false;
  source.remove_prefix(kCameraAlarm.size());
  if (source.empty() || source.front() < '0' || source.front() > '9') return false;
  std::uint64_t number = 0;
  for (const char c : source) {
    if (c < '0' || c > '9') break;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
    if (number > UINT32_MAX) return false;
  }
  return number == alarm;
}

}  // namespace

COrvaneDigitalIO::COrvaneDigitalIO(CIPCaptureDriver* driver)
    : CIOBase(driver),
      input_client_(kAgent, kTimeoutMs),
      output_client_(kAgent, kTimeoutMs),
      input_mode_(driver->CustomParameterInteger(kParamInputCommandType)),
      output_mode_(driver->CustomParameterInteger(kParamOutputCommandType)),
      first_source_input_(driver->CustomParameterInteger(kParamFirstInputId)) {
  Connect(input_client_, *driver);
  Connect(output_client_, *driver);
}

COrvaneDigitalIO::~COrvaneDigitalIO() {
  // The threads use both clients: they end before the clients go, also when the host did not
  // stop the object.
  Stop();
}

void COrvaneDigitalIO::OnBeforeStop() {
  input_client_.Cancel();
  output_client_.Cancel();
}

void COrvaneDigitalIO::OnBeforeStart() {
  input_client_.ResetCancel();
  output_client_.ResetCancel();
}

bool COrvaneDigitalIO::WriteOutput(std::uint32_t output, std::int32_t state) {
  if (state != ipcapture::kIoInactive && state != ipcapture::kIoActive) return true;
  const bool active = state == ipcapture::kIoActive;
  std::string key;
  const char* value = nullptr;
  if (output_mode_ == 1) {
    key = FormatText("Cc-1.Output-%u.OperationalMode", output + 1);
    value = active ? "Invert" : "Normal";
  } else if (output_mode_ == 2) {
    key = FormatText("Data-1.Status.AuxOut%u", output + 1);
    value = active ? "On" : "Off";
  } else {
    return true;
  }
  if (!output_client_.SendRequest("GET", ParamsSetRequest(key, value))) return false;
  const std::uint32_t status = output_client_.GetStatusCode();
  if (status == 200) {
    driver()->Log(kMsgInfo, "%s: Output %u of camera %s:%u set to %s.", kWriteOutput, output,
                  output_client_.host().c_str(), static_cast<unsigned>(output_client_.port()),
                  active ? "active" : "inactive");
  } else {
    // The relay did not switch: as far as we know it is in no state, so asking again goes out.
    driver()->Log(kMsgError, "%s: Cannot set output %u of camera %s:%u. Status code = %u.", kWriteOutput, output,
                  output_client_.host().c_str(), static_cast<unsigned>(output_client_.port()), status);
    ForgetOutputState(output);
  }
  return true;
}

bool COrvaneDigitalIO::GetInputStates(std::uint32_t input_count) {
  std::string_view pattern;
  switch (input_mode_) {
    case 1: pattern = "Cc-1.Input-*.CcDetectAlarm"; break;
    case 2: pattern = "Data-1.Status.CameraAlarm*"; break;
    case 3: pattern = "Cc-1.Udp-1.SourceSelection.Input*S*"; break;
    default: return true;
  }
  if (!input_client_.SendRequest("GET", ParamsGetRequest(pattern))) return false;
  const std::uint32_t status = input_client_.GetStatusCode();
  if (status != 200) {
    const std::string code = status != 0 ? FormatText(" Status code = %u.", status) : std::string();
    driver()->Log(kMsgError, "%s: Cannot receive input states for camera %s:%u.%s", kGetInputStates,
                  input_client_.host().c_str(), static_cast<unsigned>(input_client_.port()), code.c_str());
    return true;
  }
  std::vector<std::uint8_t> bytes;
  input_client_.ReadResponseBody(bytes, kMaxReadChunk);
  if (bytes.empty()) return true;
  const std::string_view body(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  for (std::uint32_t input = 0; input < input_count; ++input) UpdateInputState(input, InputState(body, input));
  return true;
}

std::int32_t COrvaneDigitalIO::InputState(std::string_view body, std::uint32_t input) const {
  const std::uint32_t number = input + 1;
  if (input_mode_ == 1) return AlarmValueState(GetValue(FormatText("Cc-1.Input-%u.CcDetectAlarm", number), "=", body, "\r\n"));
  if (input_mode_ == 2) return AlarmValueState(GetValue(FormatText("Data-1.Status.CameraAlarm%u", number), "=", body, "\r\n"));
  // An absent parameter 11 reads as 0x80000000, whose entries no camera has.
  const std::uint32_t entry = input + static_cast<std::uint32_t>(first_source_input_);
  const std::string source = GetValue(FormatText("Cc-1.Udp-1.SourceSelection.Input%uSource", entry), "=", body, "\r\n");
  const std::string status = GetValue(FormatText("Cc-1.Udp-1.SourceSelection.Input%uStatus", entry), "=", body, "\r\n");
  if (source.empty() || status.empty() || !NamesCameraAlarm(source, number)) return ipcapture::kIoUnknown;
  if (status == "True") return ipcapture::kIoActive;
  if (status == "False") return ipcapture::kIoInactive;
  return ipcapture::kIoUnknown;
}

}  // namespace kalmora
