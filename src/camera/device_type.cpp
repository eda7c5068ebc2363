#include "camera/device_type.h"

#include <array>

#include "camera/value_functions.h"

namespace kalmora {
namespace {

// Examined in this order.
constexpr std::array<std::string_view, 6> kPtzModelCodes = {
    "md2", "hd2", "md6", "hd6", "msd6", "hsd6"};

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace

DeviceKind ClassifyDeviceType(std::string_view product_type) {
  const std::string lower = ToLower(product_type);
  if (lower.empty()) return kDeviceKindUndetermined;
  if (Contains(lower, "server") || Contains(lower, "encoder")) return kDeviceKindServer;
  return IsPtzModel(lower) ? kDeviceKindPtzCamera : kDeviceKindOtherCamera;
}

bool IsPtzModel(std::string_view lower_product_type) {
  const std::string_view text = lower_product_type;
  for (const std::string_view code : kPtzModelCodes) {
    const std::size_t at = text.find(code);
    if (at == std::string_view::npos) continue;
    // A code inside a longer word is not a model code.
    if (at != 0 && text[at - 1] != ' ') continue;
    const std::size_t after = at + code.size();
    if (after < text.size() && text[after] >= '0' && text[after] <= '9') return true;
  }
  return Contains(text, "ptz");
}

}  // namespace kalmora
