#pragma once

#include <cstdint>
#include <optional>

#include "platform/host_core_version.h"

namespace kalmora {

inline constexpr std::int32_t kMsgError = 1;
inline constexpr std::int32_t kMsgInfo = 3;
inline constexpr std::int32_t kMsgDebug = 4;
inline constexpr std::int32_t kMsgDriverOpened = 100;

// The level a message type reaches the host with: hosts older than 5.12 know only levels up to
// 2, hosts before 6.3 do not know the open notice's level 100. Empty for debug detail, which is
// never forwarded.
std::optional<std::uint8_t> MapMessageLevel(std::int32_t message_type, const HostCoreVersion& host);

}  // namespace kalmora
