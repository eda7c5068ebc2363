// The device kind of a camera, told by its product type text.
#pragma once

#include <cstdint>
#include <string_view>

namespace kalmora {

// Only the product type text reaches the host; every user that needs the kind classifies that
// text again.
enum DeviceKind : std::int32_t {
  kDeviceKindUndetermined = 0,  // no product type
  kDeviceKindServer = 1,        // video server or encoder
  kDeviceKindPtzCamera = 2,
  kDeviceKindOtherCamera = 3,
};

DeviceKind ClassifyDeviceType(std::string_view product_type);

// True when the lower-cased product type names a PTZ model: a model code ("md2", "hd2", "md6",
// "hd6", "msd6", "hsd6") at the start or after a space and followed by a digit, judged on the
// first occurrence of each code only, or else "ptz" anywhere.
bool IsPtzModel(std::string_view lower_product_type);

}  // namespace kalmora
