// What a camera's PTZ head can do, as custom parameter 10 carries it between the capability
// query and the PTZ channels: speed maxima per axis, the camera's preset slot range and whether
// it has automatic focus and iris.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "camera/device_type.h"

namespace kalmora {

class COrvanePtzCapabilities {
 public:
  virtual ~COrvanePtzCapabilities() = default;

  // "F:%u; T:%u; P:%u; Z:%u; I:%u; Pr:%u-%u; AF:%u; AI:%u": focus, tilt, pan, zoom and iris
  // maxima, first and last preset slot, 1 or 0 for automatic focus and iris.
  std::string Format() const;
  // Reads the text form back. Every number must be decimal digits only, within 0..2147483647,
  // and the text must hold exactly the nine of the form; false otherwise (the record may then
  // be partly filled). A flag is set exactly when its number is 1.
  bool Parse(std::string_view text);
  // Fills the record from the camera's answer to params/list.cgi?Data-1.Ptz-1.*: every axis must
  // announce a symmetric range (-m..m, m > 0), and GoPreset a range whose minimum lies below its
  // maximum. False, with the record all zero, when anything is missing; an empty answer leaves
  // the record as it was.
  bool ParseListResponse(std::string_view response);

  friend bool operator==(const COrvanePtzCapabilities&, const COrvanePtzCapabilities&) = default;

  std::uint32_t focus_max = 0;
  std::uint32_t tilt_max = 0;
  std::uint32_t pan_max = 0;
  std::uint32_t zoom_max = 0;
  std::uint32_t iris_max = 0;
  std::uint32_t first_preset_slot = 0;
  std::uint32_t last_preset_slot = 0;
  bool has_auto_focus = false;
  bool has_auto_iris = false;
};

// The most slots a preset slot table holds, whatever range a camera announces.
inline constexpr std::size_t kMaxPresetSlots = 4096;

// The camera preset slots that presets may use, in increasing order; a preset's key is its
// position here. PTZ camera models reserve slot 0, 33, 34, 70 to 83, 95, 96 and 198 for their
// own functions and offer nothing above 245. At most kMaxPresetSlots; empty when first > last.
std::vector<std::uint32_t> BuildPresetSlotTable(DeviceKind kind, std::uint32_t first, std::uint32_t last);

}  // namespace kalmora
