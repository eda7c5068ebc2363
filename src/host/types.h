// Plain value types shared by the host and the driver.
#pragma once

#include <bit>
#include <cstdint>

namespace kalmora::ipcapture {

// A UTC calendar time with the fields of the recorder's native calendar record.
struct SystemTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;        // 1 to 12
  std::uint16_t day_of_week = 0;  // 0 = Sunday
  std::uint16_t day = 0;          // 1 to 31
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;
};

// Frame type codes are 32-bit values whose bytes in memory spell the code.
constexpr std::uint32_t MakeFrameTypeCode(char a, char b, char c, char d) {
  const auto u = [](char ch) { return static_cast<std::uint32_t>(static_cast<unsigned char>(ch)); };
  if constexpr (std::endian::native == std::endian::little) {
    return u(a) | (u(b) << 8) | (u(c) << 16) | (u(d) << 24);
  } else {
    return (u(a) << 24) | (u(b) << 16) | (u(c) << 8) | u(d);
  }
}

inline constexpr std::uint32_t kFrameTypeH264 = MakeFrameTypeCode('H', '2', '6', '4');
// "H264" plus one: an H.264 frame without an IDR picture (its bytes spell "I264").
inline constexpr std::uint32_t kFrameTypeH264Delta = kFrameTypeH264 + 1;
inline constexpr std::uint32_t kFrameTypeDivx = MakeFrameTypeCode('D', 'I', 'V', 'X');
inline constexpr std::uint32_t kFrameTypeDivi = MakeFrameTypeCode('D', 'I', 'V', 'I');
inline constexpr std::uint32_t kFrameTypeJpeg = MakeFrameTypeCode('J', 'P', 'E', 'G');

// Stream types of the connection settings.
inline constexpr std::int32_t kStreamMjpeg = 1;
inline constexpr std::int32_t kStreamMpeg4 = 2;
inline constexpr std::int32_t kStreamH264 = 3;

// Channel states reported by the video capture object's status query.
inline constexpr std::int32_t kChannelStreaming = 0;
inline constexpr std::int32_t kChannelConnecting = 1;
inline constexpr std::int32_t kChannelSignalLost = 2;
inline constexpr std::int32_t kChannelStopped = 3;

// Digital input and output states.
inline constexpr std::int32_t kIoUnknown = 0;
inline constexpr std::int32_t kIoInactive = 1;
inline constexpr std::int32_t kIoActive = 2;

}  // namespace kalmora::ipcapture
