// Feeds arbitrary camera replies to every reply lookup and number function. An input is a key,
// a NUL byte and the reply; without a NUL the whole input is the reply. Either way the keys
// the driver asks cameras for are looked up too, and every value found goes through the number
// functions as the driver would feed it.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "camera/device_type.h"
#include "camera/parameter_reply.h"
#include "camera/scale_converter.h"
#include "camera/value_functions.h"

namespace {

constexpr std::array<std::string_view, 14> kDriverKeys = {
    "General.Brand.CompanyName", "General.Brand.ModelName",
    "General.Brand.ProductType", "General.ProductVersion",
    "Network.1.MacAddress",      "Data-1.Ptz-",
    "Data-1.Ptz-1.Pan",          "Data-1.Ptz-1.GoPreset",
    "Video-1.Encoder-3.Bitrate", "FrameRateList",
    "Data-1.Status.AuxOut1",     "Cc-1.Input-1.DeviceName",
    "Data-1.Status.CameraAlarm", "VideoInput.Capabilities.EntityCount"};

// The fuzzer stops on the trap and keeps the input.
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool IsIn(std::string_view part, std::string_view whole) {
  return part.empty() || whole.find(part) != std::string_view::npos;
}

bool HasLineEnd(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

void FeedValue(std::string_view text) {
  int value = 0;
  if (kalmora::ParseInt(text, value)) {
    const std::size_t sign = (text.front() == '+' || text.front() == '-') ? 1 : 0;
    Check(sign < text.size());
    Check(std::all_of(text.begin() + static_cast<std::ptrdiff_t>(sign), text.end(),
                      [](char c) { return c >= '0' && c <= '9'; }));
    int scanned = 0;
    Check(kalmora::ScanDecimal(text, scanned) && scanned == value);
  } else {
    Check(value == 0);
  }
  if (!kalmora::ParseRate(text, value)) Check(value == 0);
  // Frame rate lists are comma-separated.
  std::size_t begin = 0;
  for (int pieces = 0; begin <= text.size() && pieces < 64; ++pieces) {
    const std::size_t comma = std::min(text.find(',', begin), text.size());
    kalmora::ParseRate(text.substr(begin, comma - begin), value);
    begin = comma + 1;
  }
  const std::string trimmed = kalmora::Trim(text);
  Check(IsIn(trimmed, text));
  if (!trimmed.empty()) {
    Check(trimmed.front() != ' ' && trimmed.front() != '\t');
    Check(trimmed.back() != ' ' && trimmed.back() != '\t');
  }
  Check(kalmora::ToLower(text).size() == text.size());
  const kalmora::DeviceKind kind = kalmora::ClassifyDeviceType(text);
  Check(kind >= kalmora::kDeviceKindUndetermined && kind <= kalmora::kDeviceKindOtherCamera);
  if (kind == kalmora::kDeviceKindPtzCamera) Check(kalmora::IsPtzModel(kalmora::ToLower(text)));
}

void FeedLookups(std::string_view key, std::string_view body,
                 const kalmora::COrvaneResponseParser& parser) {
  const std::string first = kalmora::FirstMatchValue(key, "=", body);
  Check(IsIn(first, body) && !HasLineEnd(first));
  FeedValue(first);
  const std::string exact = kalmora::GetValue(key, "=", body, "\r\n");
  Check(IsIn(exact, body) && !HasLineEnd(exact));
  FeedValue(exact);
  // Odd separators of one or two bytes and an odd terminator, taken from the front of the key.
  const std::size_t separator_size = key.empty() ? 1 : 1 + (static_cast<unsigned char>(key[0]) & 1);
  if (key.size() > separator_size + 1) {
    const std::string odd =
        kalmora::GetValue(key.substr(separator_size + 1), key.substr(0, separator_size), body,
                          key.substr(separator_size, 1));
    Check(IsIn(odd, body) && odd.find(key[separator_size]) == std::string::npos);
  }

  const std::ptrdiff_t key_end = parser.FindKeyEnd(key);
  Check(key_end >= -1 && key_end < static_cast<std::ptrdiff_t>(body.size()));
  if (key_end >= 0) {
    Check(std::strchr("\r\n\t =", body[static_cast<std::size_t>(key_end)]) != nullptr);
  }
  Check(parser.HasKey(key) == (key_end != -1));
  int minimum = 0;
  int maximum = 0;
  if (parser.GetRange(key, minimum, maximum)) Check(key_end >= 0);
  Check(parser.MaxIndex(key) >= -1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view key =
      split == std::string_view::npos ? std::string_view() : input.substr(0, split);
  const std::string_view body = split == std::string_view::npos ? input : input.substr(split + 1);

  const kalmora::COrvaneResponseParser parser(body);
  if (!key.empty()) FeedLookups(key, body, parser);
  for (const std::string_view driver_key : kDriverKeys) FeedLookups(driver_key, body, parser);

  // Every line's value, as the driver reads the lines of a wildcard reply.
  std::size_t line_begin = 0;
  for (int lines = 0; line_begin < body.size() && lines < 64; ++lines) {
    const std::size_t line_end = std::min(body.find_first_of("\r\n", line_begin), body.size());
    const std::string_view line = body.substr(line_begin, line_end - line_begin);
    const std::size_t separator = line.find('=');
    FeedValue(separator == std::string_view::npos ? line : line.substr(separator + 1));
    line_begin = line_end + 1;
  }

  // A speed range a camera reports, and a host speed.
  if (size >= 8) {
    std::uint32_t target = 0;
    std::uint32_t speed = 0;
    std::memcpy(&target, data, sizeof target);
    std::memcpy(&speed, data + sizeof target, sizeof speed);
    kalmora::CScaleConverter converter;
    converter.SetTargetRange(target);
    const std::uint32_t converted = converter.Convert(speed);
    Check(converted >= std::min<std::uint32_t>(target, 1) &&
          converted <= std::max<std::uint32_t>(target, 1));
  }
  return 0;
}
