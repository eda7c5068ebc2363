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

std::optional<std::vector<std::uint32_t>> ParseChannelList(std::string_view text, std::string& error) {
  // Plain decimal digits only: from_chars would take a sign.
  const auto number = [&](std::string_view digits) -> std::optional<std::uint32_t> {
    unsigned value = 0;
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
    const auto [end, failed] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (failed != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
  };
  std::vector<std::uint32_t> channels;
  bool seen[kChannelsPerCamera] = {};
  std::size_t from = 0;
  while (true) {
    const std::size_t comma = text.find(',', from);
    const std::string_view item = text.substr(from, comma == std::string_view::npos ? text.npos : comma - from);
    const std::size_t dash = item.find('-');
    const auto first = number(item.substr(0, dash));
    const auto last = dash == std::string_view::npos ? first : number(item.substr(dash + 1));
    if (!first || !last) {
      error = "\"" + std::string(item) + "\" is not a channel N or a range N-M";
      return std::nullopt;
    }
    if (*first >= kChannelsPerCamera || *last >= kChannelsPerCamera) {
      error = "channels go from 0 to " + std::to_string(kChannelsPerCamera - 1) + ", not \"" + std::string(item) + "\"";
      return std::nullopt;
    }
    if (*last < *first) {
      error = "the range \"" + std::string(item) + "\" runs backwards";
      return std::nullopt;
    }
    for (std::uint32_t channel = *first; channel <= *last; ++channel) {
      if (seen[channel]) {
        error = "channel " + std::to_string(channel) + " is listed twice";
        return std::nullopt;
      }
      seen[channel] = true;
      channels.push_back(channel);
    }
    if (comma == std::string_view::npos) break;
    from = comma + 1;
  }
  return channels;
}

std::string ChannelFilePath(const std::string& path, const std::string& address, std::uint32_t channel) {
  if (path == "/dev/null") return path;
  std::string tag = "-";
  for (const char c : address) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                      c == '-' || c == '_';
    tag += kept ? c : '_';
  }
  tag += "-ch" + std::to_string(channel);
  // A folder given with a trailing slash (--jpeg-dir pics/) gets the tag on its own name.
  std::string_view trimmed(path);
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
  const std::string base(trimmed);
  const std::size_t slash = base.rfind('/');
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = base.rfind('.');
  if (dot == std::string::npos || dot <= name) return base + tag;
  return base.substr(0, dot) + tag + base.substr(dot);
}

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
