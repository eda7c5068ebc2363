#include "driver/log_level.h"

namespace kalmora {
namespace {

bool IsBefore(const HostCoreVersion& v, std::uint16_t major, std::uint16_t minor) {
  return v.major < major || (v.major == major && v.minor < minor);
}

}  // namespace

std::optional<std::uint8_t> MapMessageLevel(std::int32_t message_type, const HostCoreVersion& host) {
  if (message_type == kMsgDebug) return std::nullopt;
  if (IsBefore(host, 5, 12)) {
    if (message_type == kMsgInfo || message_type == kMsgDriverOpened) return 2;
  } else if (IsBefore(host, 6, 3)) {
    if (message_type == kMsgDriverOpened) return 3;
  }
  return static_cast<std::uint8_t>(message_type);
}

}  // namespace kalmora
