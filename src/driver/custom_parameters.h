#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kalmora {

// What the integer accessor gives for an absent or non-numeric custom parameter.
inline constexpr std::int32_t kNoCustomInteger = INT32_MIN;

// Custom parameter numbers and what they carry.
enum CustomParameter : std::uint32_t {
  kParamNetworkTimeout = 1,
  kParamVideoStandard = 2,
  kParamDeviceType = 3,
  kParamMinimumBitrate = 4,
  kParamMaximumBitrate = 5,
  kParamMjpegOverHttp = 6,
  kParamMediaTypeSupport = 7,
  kParamPtzChannels = 8,
  kParamPresetFile = 9,
  kParamPtzCapabilities = 10,
  kParamFirstInputId = 11,
  kParamInputCommandType = 12,
  kParamOutputCommandType = 13,
  kParamFirmware = 14,
};

// The decimal integer rule of custom parameters: non-empty, at most one leading sign, then
// decimal digits only (a lone sign is not a number), within the signed 32-bit range.
std::optional<std::int32_t> ParseDecimalInteger(std::string_view text);
std::optional<std::int32_t> ParseDecimalInteger(const char* text);

// The host's custom parameters, by index from 1.
class CCustomParameters {
 public:
  void Set(std::uint32_t index, std::string text) { values_[index] = std::move(text); }
  void Clear() { values_.clear(); }
  // Null when absent.
  const char* Text(std::uint32_t index) const;
  // kNoCustomInteger when absent or not a number.
  std::int32_t Integer(std::uint32_t index) const;
  std::size_t size() const { return values_.size(); }

 private:
  std::map<std::uint32_t, std::string> values_;
};

}  // namespace kalmora
