#include "driver/result_def.h"

#include "driver/error_counter.h"

namespace kalmora {

void ReportResult(IDebugMessage* reporter, const CResultDef& result) {
  if (reporter == nullptr || result.message().empty()) return;
  auto* counter = dynamic_cast<CZELVErrorCounter*>(reporter);
  if (counter != nullptr && !counter->AllowReport()) return;
  reporter->Log(result.message_type(), "%s", result.message().c_str());
}

}  // namespace kalmora
