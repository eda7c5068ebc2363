#include "record_options.h"

#include <charconv>

#include "host/types.h"

namespace tessavirn_host {
namespace {

std::optional<std::uint16_t> ParseDimension(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

void FillDefaultCustomParameters(DeviceConfig& config) {
  // emplace leaves a given value alone.
  config.custom_parameters.emplace(1, "5000");
  config.custom_parameters.emplace(2, "0");
  config.custom_parameters.emplace(6, "0");
  config.custom_parameters.emplace(8, "0");
}

void FillCustomParameterGaps(DeviceConfig& config) {
  if (config.custom_parameters.empty()) return;
  const std::uint32_t highest = config.custom_parameters.rbegin()->first;
  for (std::uint32_t index = 1; index < highest; ++index) config.custom_parameters.emplace(index, "");
}

std::optional<long long> ParseDecimal(std::string_view text) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

DeviceConfig PrepareDevice(const DeviceConfig& given) {
  DeviceConfig device = given;
  FillDefaultCustomParameters(device);
  FillCustomParameterGaps(device);
  return device;
}

std::optional<std::pair<std::uint16_t, std::uint16_t>> ParsePictureSize(const std::string& text) {
  const auto x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  const std::string_view all(text);
  const auto width = ParseDimension(all.substr(0, x));
  const auto height = ParseDimension(all.substr(x + 1));
  if (!width || !height) return std::nullopt;
  return std::make_pair(*width, *height);
}

std::string DefaultRecordPath(std::int32_t stream_type) {
  switch (stream_type) {
    case kalmora::ipcapture::kStreamH264: return "record.h264";
    case kalmora::ipcapture::kStreamMjpeg: return "record.mjpeg";
    case kalmora::ipcapture::kStreamMpeg4: return "record.m4v";
    default: return "record.bin";
  }
}

}  // namespace tessavirn_host
