// Feeds arbitrary bytes to the PTZ capability text parser and, as a camera's list reply, to the
// capability reading. Whatever either accepts must survive the text form: formatted and parsed
// again it gives the same record, and a record read from a reply has every axis and a preset
// range.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ptz/ptz_capabilities.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  kalmora::COrvanePtzCapabilities parsed;
  if (parsed.Parse(input)) {
    kalmora::COrvanePtzCapabilities again;
    Check(again.Parse(parsed.Format()));
    Check(again == parsed);
  }
  kalmora::COrvanePtzCapabilities read;
  if (read.ParseListResponse(input)) {
    Check(read.focus_max != 0 && read.tilt_max != 0 && read.pan_max != 0 && read.zoom_max != 0 && read.iris_max != 0);
    Check(static_cast<std::int32_t>(read.first_preset_slot) < static_cast<std::int32_t>(read.last_preset_slot));
    kalmora::COrvanePtzCapabilities again;
    // A negative first slot has no text form: it formats beyond the int range the parser takes.
    if (static_cast<std::int32_t>(read.first_preset_slot) >= 0) {
      Check(again.Parse(read.Format()));
      Check(again == read);
    }
    const auto slots = kalmora::BuildPresetSlotTable(kalmora::kDeviceKindPtzCamera, read.first_preset_slot,
                                                     read.last_preset_slot);
    Check(slots.size() <= kalmora::kMaxPresetSlots);
  }
  return 0;
}
