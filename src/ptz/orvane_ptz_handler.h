#pragma once

#include <cstdint>
#include <string>

#include "ptz/base_ptz_handler.h"

namespace kalmora {

class COrvaneIPCaptureDriver;

// The family's PTZ object. The preset file is named by custom parameter 9 and lives in the
// folder of the host's executable; "(none)" or an empty name means presets are not wanted, and
// a name that would leave that folder ("/" in it, "." or "..") is refused.
class COrvanePTZHandler final : public TBasePTZHandler<COrvaneIPCaptureDriver> {
 public:
  // driver owns this object and outlives it.
  COrvanePTZHandler(COrvaneIPCaptureDriver* driver, std::uint32_t channel_count);
  ~COrvanePTZHandler() override;

 protected:
  void GenerateXMLStorageFileName(CResultDef& result, std::string& file_name) override;
  CBasePTZControl* CreatePTZControl(std::uint32_t channel) override;
};

}  // namespace kalmora
