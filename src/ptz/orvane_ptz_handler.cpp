#include "ptz/orvane_ptz_handler.h"

#include "driver/custom_parameters.h"
#include "driver/orvane_capture_driver.h"

namespace kalmora {

COrvanePTZHandler::COrvanePTZHandler(COrvaneIPCaptureDriver* driver, std::uint32_t channel_count)
    : TBasePTZHandler<COrvaneIPCaptureDriver>(driver, channel_count, "Orvane") {}

// The command threads call this object as their IDevice: they are joined before it starts to
// come apart.
COrvanePTZHandler::~COrvanePTZHandler() { DestroyAllControls(); }

void COrvanePTZHandler::GenerateXMLStorageFileName(CResultDef& result, std::string& file_name) {
  const char* function = "kalmora::COrvanePTZHandler::GenerateXMLStorageFileName";
  result.Set(3, 0, {});
  file_name.clear();
  if (driver() == nullptr) {
    result.Set(1, 7, FormatText("%s: operation failed. Invalid pointer to parent class", function));
    return;
  }
  file_name = GetCustomParameter(kParamPresetFile);
  if (file_name == "(none)") file_name.clear();
  if (file_name.empty() || file_name == "." || file_name == ".." || file_name.find('/') != std::string::npos) {
    file_name.clear();
    result.Set(1, 2, FormatText("%s: operation failed. Invalid custom parameter value", function));
  }
}

CBasePTZControl* COrvanePTZHandler::CreatePTZControl(std::uint32_t channel) {
  return new (std::nothrow) COrvanePTZControl(this, channel);
}

}  // namespace kalmora
