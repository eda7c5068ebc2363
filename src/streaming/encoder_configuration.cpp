#include "streaming/encoder_configuration.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "camera/http_client.h"
#include "camera/parameter_reply.h"
#include "camera/value_functions.h"
#include "driver/custom_parameters.h"

namespace kalmora {
namespace {

constexpr unsigned kStatusOk = 200;

struct ResolutionRow {
  const char* name;
  unsigned width;
  unsigned height_50_field;
  unsigned height_60_field;
};

// First match wins; QCIF is 176 x 128 in the 60-field standard.
constexpr ResolutionRow kResolutions[] = {
    {"D1", 720, 576, 480},   {"1/2 D1", 352, 576, 480}, {"2CIF", 720, 288, 240}, {"CIF", 352, 288, 240},
    {"QCIF", 176, 144, 128}, {"2/3 D1", 480, 576, 480}, {"VGA", 640, 480, 480},  {"QVGA", 320, 240, 240},
};

constexpr unsigned kMinScaledQuality = 10;
constexpr unsigned kMinQualityValue = 10;
constexpr unsigned kMaxQualityValue = 70;
constexpr unsigned kMjpegBaseBitrate = 3000;
constexpr double kMjpegBitrateSpan = 7000.0;
constexpr std::int64_t kMpeg4MaxBitrate = 7500;
// Frame rate the bitrate range refers to.
constexpr std::int64_t kReferenceFrameRate = 30;
constexpr double kBandwidthHeadroom = 0.15;
constexpr unsigned kMjpegGop = 1;
// What the Motion-JPEG-over-HTTP channel reads of a list reply, and its idle profile.
constexpr std::size_t kMaxRangeReplyBytes = 10240;
constexpr unsigned kIdleFrameRate = 5;
constexpr unsigned kIdleQuality = 60;
constexpr unsigned kIdleBitrateShare = 3;
// Far outside any bitrate range even at 1 frame per second, and small enough that the frame-rate
// correction below cannot overflow.
constexpr double kScaledLimit = 1099511627776.0;  // 2^40

// Truncates toward zero into the unsigned range, saturating at its ends.
unsigned TruncToUnsigned(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<unsigned>::max())) return std::numeric_limits<unsigned>::max();
  return static_cast<unsigned>(value);
}

// minimum + (ceiling - minimum) x quality %, then scaled by frame_rate / 30 and kept within
// minimum and ceiling. Computed in 64 bits without wrapping; the lower bound is applied last,
// so a minimum above the ceiling wins.
unsigned RangedBitrate(std::int64_t minimum, std::int64_t ceiling, unsigned quality, unsigned frame_rate) {
  const unsigned q = std::max(quality, kMinScaledQuality);
  const double scaled = std::trunc(static_cast<double>(ceiling - minimum) * q * 0.01);
  std::int64_t bitrate = static_cast<std::int64_t>(std::clamp(scaled, -kScaledLimit, kScaledLimit));
  bitrate = (bitrate + minimum) * std::int64_t{frame_rate} / kReferenceFrameRate;
  bitrate = std::min(bitrate, ceiling);
  bitrate = std::max(bitrate, minimum);
  return bitrate < 0 ? 0u : static_cast<unsigned>(bitrate);
}

std::string SetRequest(const std::vector<std::string>& items) {
  std::string query;
  for (const auto& item : items) {
    if (!query.empty()) query += '&';
    query += item;
  }
  return std::string(kParamsSetPath) + query;
}

}  // namespace

StreamProfile H264StreamProfile() { return {"h264", "H264", "Constant bitrate non-drop", 4, {}, 0, 0, 0}; }
StreamProfile MjpegStreamProfile() { return {"mjpeg", "MJPEG", "Constant bitrate", 1, {}, 0, 0, 0}; }
StreamProfile Mpeg4StreamProfile() { return {"mpeg4", "MPEG-4", "Variable bitrate non-drop", 1, {}, 0, 0, 0}; }

std::string ResolutionName(unsigned width, unsigned height, bool ntsc) {
  for (const auto& row : kResolutions) {
    if (row.width == width && (ntsc ? row.height_60_field : row.height_50_field) == height) return row.name;
  }
  return {};
}

unsigned EncoderFrameRate(unsigned frame_interval_ms) {
  const unsigned interval = std::max(frame_interval_ms, 1u);
  return std::max(1000u / interval, 1u);
}

unsigned EncoderQualityValue(unsigned quality) {
  const double value = std::trunc(std::trunc(quality * 0.01 * 60) + 10);
  return std::clamp(TruncToUnsigned(value), kMinQualityValue, kMaxQualityValue);
}

unsigned RtspBitrate(const std::string& media_subtype, unsigned quality, unsigned frame_rate, const char* min_bitrate,
                     const char* max_bitrate) {
  if (media_subtype == "MJPEG") {
    return TruncToUnsigned(std::trunc(quality * 0.01 * kMjpegBitrateSpan) + kMjpegBaseBitrate);
  }
  const std::optional<std::int32_t> minimum = ParseDecimalInteger(min_bitrate);
  if (!minimum) return 0;
  if (media_subtype == "MPEG-4") return RangedBitrate(*minimum, kMpeg4MaxBitrate, quality, frame_rate);
  const std::optional<std::int32_t> maximum = ParseDecimalInteger(max_bitrate);
  if (!maximum) return 0;
  return RangedBitrate(*minimum, *maximum / 2, quality, frame_rate);
}

std::vector<EncoderRequest> BuildEncoderRequests(const EncoderInputs& in, StreamProfile& profile) {
  profile.resolution_name = ResolutionName(in.width, in.height, in.ntsc);
  profile.frame_rate = EncoderFrameRate(in.frame_interval_ms);
  profile.quality = EncoderQualityValue(in.quality);
  profile.bitrate = RtspBitrate(profile.media_subtype, in.quality, profile.frame_rate, in.min_bitrate, in.max_bitrate);

  const unsigned input = in.input;
  const unsigned encoder = profile.encoder_index;
  const char* stream = profile.stream_name.c_str();
  const char* resolution = profile.resolution_name.c_str();
  const bool mjpeg = profile.media_subtype == "MJPEG";
  std::vector<EncoderRequest> requests;

  if (ParseDecimalInteger(in.media_type_option) == 1) {
    requests.push_back({"GET",
                        SetRequest({FormatText("Video-%u.Encoder-%u.MediaSubType=%s", input, encoder,
                                               profile.media_subtype.c_str())}),
                        {}});
  }

  std::string body = FormatText("VideoInput.%u.%s.1.Resolution=%s\r\n", input, stream, resolution);
  body += FormatText("VideoInput.%u.%s.1.FrameRate=%u\r\n", input, stream, profile.frame_rate);
  if (mjpeg) {
    body += FormatText("VideoInput.%u.%s.1.Quality=%u\r\n", input, stream, profile.quality);
    body += FormatText("VideoInput.%u.%s.1.GopSize=%u\r\n", input, stream, kMjpegGop);
  } else {
    body += FormatText("VideoInput.%u.%s.1.GopSize=%u\r\n", input, stream, profile.frame_rate);
  }
  body += FormatText("VideoInput.%u.%s.1.Bitrate=%u\r\n", input, stream, profile.bitrate);
  requests.push_back({"POST", std::string(kApiParamPostPath), std::move(body)});

  const double base_rate = in.ntsc ? 30.0 : 25.0;
  const unsigned divider = TruncToUnsigned(base_rate / profile.frame_rate + 0.5);
  const double bitrate = profile.bitrate;
  const unsigned bandwidth_limit = TruncToUnsigned(bitrate + bitrate * kBandwidthHeadroom);
  requests.push_back(
      {"GET",
       SetRequest({
           FormatText("Video-%u.Encoder-%u.FrameRateDivider=%u", input, encoder, divider),
           FormatText("Video-%u.Encoder-%u.BitrateMode=%s", input, encoder, profile.bitrate_mode.c_str()),
           FormatText("Video-%u.Encoder-%u.Resolution=%s", input, encoder, resolution),
           FormatText("Video-%u.Encoder-%u.Bitrate=%u", input, encoder, profile.bitrate),
           FormatText("Video-%u.Encoder-%u.StreamManager.StreamBandwidthLimit=%u", input, encoder, bandwidth_limit),
           FormatText("Video-%u.Encoder-%u.GopLength=%u", input, encoder, mjpeg ? kMjpegGop : profile.frame_rate),
       }),
       {}});
  return requests;
}

bool SendEncoderRequests(Web::CHttpClient& client, const std::vector<EncoderRequest>& requests) {
  for (const auto& request : requests) {
    const bool answered = request.verb == "POST" || !request.body.empty()
                              ? client.SendRequest(request.verb, request.path, {}, request.body)
                              : client.SendRequest(request.verb, request.path);
    if (!answered || client.GetStatusCode() != kStatusOk) return false;
  }
  return true;
}

unsigned FrameRateDivider(unsigned frame_rate, bool ntsc) {
  const double base_rate = ntsc ? 30.0 : 25.0;
  return std::max(TruncToUnsigned(base_rate / std::max(frame_rate, 1u) + 0.5), 1u);
}

std::string BitrateRangeRequest(unsigned input) {
  return std::string(kParamsListPath) + FormatText("Video-%u.Encoder-%u.Bitrate", input, kMjpegHttpEncoderIndex);
}

std::optional<unsigned> ParseBitrateRangeMaximum(std::string_view reply, unsigned input) {
  int minimum = 0;
  int maximum = 0;
  const std::string key = FormatText("Video-%u.Encoder-%u.Bitrate", input, kMjpegHttpEncoderIndex);
  if (!COrvaneResponseParser(reply).GetRange(key, minimum, maximum) || maximum < 0) return std::nullopt;
  return static_cast<unsigned>(maximum);
}

std::string MjpegEncoderRequest(const EncoderInputs& in, unsigned max_bitrate) {
  const unsigned input = in.input;
  const unsigned encoder = kMjpegHttpEncoderIndex;
  return SetRequest({
      FormatText("Video-%u.Encoder-%u.Bitrate=%u", input, encoder, max_bitrate),
      FormatText("Video-%u.Encoder-%u.BitrateMode=%s", input, encoder, "Constant quality"),
      FormatText("Video-%u.Encoder-%u.DeInterlacing=%s", input, encoder, "Off"),
      FormatText("Video-%u.Encoder-%u.Enable=%s", input, encoder, "True"),
      FormatText("Video-%u.Encoder-%u.FrameRateDivider=%u", input, encoder,
                 FrameRateDivider(EncoderFrameRate(in.frame_interval_ms), in.ntsc)),
      FormatText("Video-%u.Encoder-%u.Quality=%u", input, encoder, in.quality),
      FormatText("Video-%u.Encoder-%u.Resolution=%s", input, encoder,
                 ResolutionName(in.width, in.height, in.ntsc).c_str()),
  });
}

std::string IdleEncoderRequest(unsigned input, bool ntsc, unsigned max_bitrate) {
  const unsigned encoder = kMjpegHttpEncoderIndex;
  return SetRequest({
      FormatText("Video-%u.Encoder-%u.Bitrate=%u", input, encoder, max_bitrate / kIdleBitrateShare),
      FormatText("Video-%u.Encoder-%u.FrameRateDivider=%u", input, encoder, FrameRateDivider(kIdleFrameRate, ntsc)),
      FormatText("Video-%u.Encoder-%u.Quality=%u", input, encoder, kIdleQuality),
  });
}

bool QueryBitrateRange(Web::CHttpClient& client, unsigned input, unsigned& max_bitrate) {
  if (max_bitrate != 0) return true;
  client.SetMaxBodyBytes(Web::CHttpClient::kMaxParameterReplyBytes);
  if (!client.SendRequest("GET", BitrateRangeRequest(input)) || client.GetStatusCode() != kStatusOk) return false;
  std::vector<std::uint8_t> body;
  client.ReadResponseBody(body, kMaxRangeReplyBytes);
  if (body.size() > kMaxRangeReplyBytes) body.resize(kMaxRangeReplyBytes);
  const std::optional<unsigned> maximum =
      ParseBitrateRangeMaximum(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), input);
  if (!maximum) return false;
  max_bitrate = *maximum;
  return true;
}

bool ConfigureMjpegEncoder(Web::CHttpClient& client, const EncoderInputs& in, unsigned& max_bitrate) {
  if (!QueryBitrateRange(client, in.input, max_bitrate)) return false;
  client.SetMaxBodyBytes(Web::CHttpClient::kMaxParameterReplyBytes);
  return client.SendRequest("GET", MjpegEncoderRequest(in, max_bitrate)) && client.GetStatusCode() == kStatusOk;
}

void RestoreIdleEncoder(Web::CHttpClient& client, unsigned input, bool ntsc, unsigned max_bitrate) {
  if (max_bitrate == 0) return;
  client.SetMaxBodyBytes(Web::CHttpClient::kMaxParameterReplyBytes);
  client.SendRequest("GET", IdleEncoderRequest(input, ntsc, max_bitrate));
}

}  // namespace kalmora
