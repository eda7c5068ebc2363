// The codec steps of the camera properties: which of H.264, Motion-JPEG and MPEG-4 the camera
// offers, and for each its frame rates, resolutions and bitrate range.
#include <algorithm>
#include <cmath>
#include <set>

#include "camera/camera_properties.h"
#include "camera/http_request.h"
#include "camera/parameter_reply.h"

namespace kalmora {
namespace {

struct Codec {
  const char* media_subtype;  // written to the encoder
  const char* token;          // in the camera's codec list and key names
  std::uint32_t id;
};
constexpr Codec kCodecs[] = {{"H264", "h264", kCodecH264}, {"MJPEG", "mjpeg", kCodecMjpeg}, {"MPEG-4", "mpeg4", kCodecMpeg4}};

struct NamedResolution {
  const char* name;
  std::uint16_t pal_width, pal_height, ntsc_width, ntsc_height;
};
constexpr NamedResolution kResolutions[] = {
    {"D1", 720, 576, 720, 480},    {"1/2 D1", 352, 576, 352, 480}, {"2CIF", 720, 288, 720, 240},
    {"CIF", 352, 288, 352, 240},   {"QCIF", 176, 144, 176, 128},   {"2/3 D1", 480, 576, 480, 480},
    {"VGA", 640, 480, 640, 480},   {"QVGA", 320, 240, 320, 240},
};

constexpr std::string_view kCodecListKey = "VideoInput.1.Capabilities.CodecList";
// A rate above this would give a frame interval of 0 ms.
constexpr int kMaxFrameRate = 1000;

bool IsKindWithChannelKeys(DeviceKind kind) { return kind == kDeviceKindServer || kind == kDeviceKindPtzCamera; }

// A bitrate from the camera: a whole number, not negative.
bool ReadBitrate(std::string_view value, std::uint32_t& bitrate) {
  int parsed = 0;
  if (!ParseInt(value, parsed) || parsed < 0) return false;
  bitrate = static_cast<std::uint32_t>(parsed);
  return true;
}

}  // namespace

std::vector<std::uint32_t> ParseFrameRates(std::string_view list, bool ntsc) {
  std::set<std::uint32_t> rates;
  for (std::size_t start = 0; start <= list.size();) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    int rate = 0;
    if (ParseRate(list.substr(start, comma - start), rate) && rate > 0 && rate <= kMaxFrameRate) {
      rates.insert(static_cast<std::uint32_t>(rate));
    }
    start = comma + 1;
  }
  // An NTSC rate list on a PAL camera: 30 becomes 25, 15 becomes 12.
  if (!ntsc && rates.count(30) != 0) {
    std::set<std::uint32_t> scaled;
    for (const std::uint32_t rate : rates) scaled.insert(static_cast<std::uint32_t>(std::trunc(rate * 25.0 / 30.0 + 0.4)));
    rates = std::move(scaled);
  }
  return {rates.begin(), rates.end()};
}

std::string COrvaneCameraProperties::ReadCodecList(Web::HttpRequest* request) {
  std::string body;
  if (!SendRequest(request, ApiParamGetRequest(kCodecListKey), body)) return {};
  return FirstMatchValue(kCodecListKey, "=", body);
}

bool COrvaneCameraProperties::QueryCodecsBySwitching(Web::HttpRequest* request) {
  media_type_supported_ = false;
  bool found = false;
  for (const Codec& codec : kCodecs) {
    if (terminated()) break;
    // Motion-JPEG of old fixed cameras comes over HTTP only; switching encoder 1 to it fails.
    if (codec.id == kCodecMjpeg && device_kind_ == kDeviceKindOtherCamera && firmware_.major <= 1) continue;
    std::string body;
    if (!SendRequest(request, ParamsSetRequest("Video-1.Encoder-1.MediaSubType", codec.media_subtype), body)) continue;
    media_type_supported_ = true;
    if (ReadCodecList(request).find(codec.token) == std::string::npos) continue;
    record_.codecs.push_back(codec.id);
    found = QueryMediaCapabilities(request, codec.token) || found;
  }
  // Not finding a codec this way is only an error once the codec list and HTTP Motion-JPEG are
  // tried too.
  codecs_found_by_switching_ = found;
  return true;
}

bool COrvaneCameraProperties::QueryCodecsFromList(Web::HttpRequest* request) {
  if (codecs_found_by_switching_ || device_kind_ != kDeviceKindPtzCamera) return true;
  const std::string list = ReadCodecList(request);
  bool found = false;
  for (const Codec& codec : kCodecs) {
    if (terminated()) break;
    if (list.find(codec.token) == std::string::npos) continue;
    record_.codecs.push_back(codec.id);
    found = QueryMediaCapabilities(request, codec.token) || found;
  }
  return found;
}

bool COrvaneCameraProperties::QueryMjpegOverHttp(Web::HttpRequest* request) {
  if (record_.codecs.empty()) return false;
  if (std::find(record_.codecs.begin(), record_.codecs.end(), kCodecMjpeg) != record_.codecs.end()) return true;
  std::string body;
  if (!SendRequest(request, ParamsGetRequest("Video-1.Encoder-3.UserLabel1"), body)) return false;
  // Cameras that stream Motion-JPEG only as single pictures label encoder 3 for it.
  if (ToLower(FirstMatchValue("Video-1.Encoder-3.UserLabel1", "=", body)).find("jpeg") != std::string::npos) {
    record_.codecs.push_back(kCodecMjpeg);
    mjpeg_over_http_ = true;
  }
  return true;
}

bool COrvaneCameraProperties::QueryMediaCapabilities(Web::HttpRequest* request, std::string_view token) {
  return QueryFrameRates(request, token) && QueryResolutions(request, token) && QueryBitrates(request, token);
}

bool COrvaneCameraProperties::QueryFrameRates(Web::HttpRequest* request, std::string_view token) {
  const std::string t(token);
  std::string request_key;
  std::string lookup_key;
  if (IsKindWithChannelKeys(device_kind_)) {
    request_key = "VideoInput.1." + t + ".*.Capabilities.FrameRateList";
    lookup_key = "FrameRateList";
  } else if (device_kind_ == kDeviceKindOtherCamera) {
    request_key = lookup_key = "VideoInput.1.Capabilities." + t + ".FrameRateList";
  } else {
    return false;
  }
  std::string body;
  SendRequest(request, ApiParamGetRequest(request_key), body);
  const std::string value = FirstMatchValue(lookup_key, "=", body);
  if (value.empty()) return false;
  frame_rates_ = ParseFrameRates(value, ntsc_);
  return !frame_rates_.empty();
}

bool COrvaneCameraProperties::QueryResolutions(Web::HttpRequest* request, std::string_view token) {
  const std::string t(token);
  std::string key;
  if (IsKindWithChannelKeys(device_kind_)) {
    key = "VideoInput.1." + t + ".1.Capabilities.ResolutionList";
  } else if (device_kind_ == kDeviceKindOtherCamera) {
    key = "VideoInput.1.Capabilities." + t + ".ResolutionList";
  } else {
    return false;
  }
  std::string body;
  SendRequest(request, ApiParamGetRequest(key), body);
  // Names are matched whole: "XD1" does not name D1.
  const std::string list = "," + FirstMatchValue(key, "=", body) + ",";
  bool matched = false;
  for (const NamedResolution& named : kResolutions) {
    if (list.find("," + std::string(named.name) + ",") == std::string::npos) continue;
    matched = true;
    CResolution resolution;
    resolution.width = ntsc_ ? named.ntsc_width : named.pal_width;
    resolution.height = ntsc_ ? named.ntsc_height : named.pal_height;
    if (!frame_rates_.empty()) {
      const std::uint32_t highest = frame_rates_.back();
      const std::uint32_t interval = 1000 / highest;
      if (interval >= highest) resolution.frame_intervals_ms.push_back(interval);
    }
    const bool known = std::any_of(record_.resolutions.begin(), record_.resolutions.end(), [&](const CResolution& r) {
      return r.width == resolution.width && r.height == resolution.height && r.width != 0 && r.height != 0;
    });
    if (!known) record_.resolutions.push_back(std::move(resolution));
  }
  return matched;
}

bool COrvaneCameraProperties::QueryBitrates(Web::HttpRequest* request, std::string_view token) {
  const std::string prefix = "VideoInput.1." + std::string(token) + ".1.Capabilities.";
  std::string body;
  std::uint32_t minimum = 0;
  if (!SendRequest(request, ApiParamGetRequest(prefix + "MinBitrate"), body) ||
      !ReadBitrate(FirstMatchValue(prefix + "MinBitrate", "=", body), minimum)) {
    return false;
  }
  if (min_bitrate_ == 0 || minimum < min_bitrate_) min_bitrate_ = minimum;
  std::uint32_t maximum = 0;
  if (!SendRequest(request, ApiParamGetRequest(prefix + "MaxBitrate"), body) ||
      !ReadBitrate(FirstMatchValue(prefix + "MaxBitrate", "=", body), maximum)) {
    return false;
  }
  if (max_bitrate_ == 0 || maximum > max_bitrate_) max_bitrate_ = maximum;
  return true;
}

}  // namespace kalmora
