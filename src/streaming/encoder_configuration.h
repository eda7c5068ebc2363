// The encoder settings a channel sends to the camera: those of an RTSP channel before each
// session, and the numbers behind them (resolution name, frame rate, quality value, bitrate);
// those of the Motion-JPEG-over-HTTP channel for its encoder, and the idle profile it leaves
// behind.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Web {
class CHttpClient;
}

namespace kalmora {

// What a channel streams, as the camera's two parameter interfaces name it. The first four
// fields are fixed per stream kind; BuildEncoderRequests fills in the rest.
struct StreamProfile {
  std::string stream_name;    // in "VideoInput.I.<name>.1.*" of the newer interface
  std::string media_subtype;  // "H264", "MJPEG", "MPEG-4": selects the bitrate rule
  std::string bitrate_mode;
  unsigned encoder_index = 0;  // in "Video-I.Encoder-<index>.*" of the older interface
  std::string resolution_name;
  unsigned bitrate = 0;  // kbit/s
  unsigned frame_rate = 0;
  unsigned quality = 0;  // the camera's quality value, 10 to 70
};

StreamProfile H264StreamProfile();
StreamProfile MjpegStreamProfile();
StreamProfile Mpeg4StreamProfile();

// The channel's format and the driver settings the encoder requests are built from.
struct EncoderInputs {
  unsigned input = 1;  // video input number, from 1
  unsigned width = 0;
  unsigned height = 0;
  unsigned quality = 60;  // 0 to 100
  unsigned frame_interval_ms = 0;
  bool ntsc = false;  // 60-field video standard (base rate 30 instead of 25)
  // The minimum and maximum bitrate and media type support options as the host gave them;
  // null when absent.
  const char* min_bitrate = nullptr;
  const char* max_bitrate = nullptr;
  const char* media_type_option = nullptr;
};

// "D1", "CIF", ... for a picture size of the camera's list (heights of the video standard the
// flag selects); empty for any other size.
std::string ResolutionName(unsigned width, unsigned height, bool ntsc);
// 1000 / interval; an interval of 0 counts as 1 ms, and intervals above 1000 ms give 1.
unsigned EncoderFrameRate(unsigned frame_interval_ms);
// The camera's quality value for a 0-100 quality: 10 + 60 % of it, within 10 to 70.
unsigned EncoderQualityValue(unsigned quality);
// The bitrate in kbit/s to ask for. MJPEG: 3000 + 70 x quality. MPEG-4 and H.264 scale the range
// from the minimum (min_bitrate) to a ceiling (7500 for MPEG-4, half of max_bitrate for H.264) by
// the quality (at least 10), correct it for the frame rate against 30 frames per second, and
// keep the result within the range; with a limit missing or not a decimal integer the result is
// 0. A minimum above the ceiling gives the minimum; the result is never below 0.
unsigned RtspBitrate(const std::string& media_subtype, unsigned quality, unsigned frame_rate, const char* min_bitrate,
                     const char* max_bitrate);

// One HTTP request of the configuration; path is handed to Web::CHttpClient::SendRequest as is,
// in plain text (the client escapes what cannot stand in a request target).
struct EncoderRequest {
  std::string verb;
  std::string path;
  std::string body;
};

// Fills in the profile's resolution name, bitrate, frame rate and quality value and returns the
// requests in the order they are sent: the media subtype request (only when media_type_option
// reads as the integer 1), the POST to the newer interface, the older interface's set request.
std::vector<EncoderRequest> BuildEncoderRequests(const EncoderInputs& in, StreamProfile& profile);

// Sends the requests one after the other and stops at the first that fails (no response, or a
// status other than 200). True when all succeeded.
bool SendEncoderRequests(Web::CHttpClient& client, const std::vector<EncoderRequest>& requests);

// Motion-JPEG over HTTP uses the older interface only, always with this encoder.
inline constexpr unsigned kMjpegHttpEncoderIndex = 3;

// Frame-rate divider of the older interface: the base rate (30 with the NTSC flag, else 25) over
// the frame rate, rounded, and at least 1.
unsigned FrameRateDivider(unsigned frame_rate, bool ntsc);
// "params/list.cgi?Video-<input>.Encoder-3.Bitrate": the bitrate with its range.
std::string BitrateRangeRequest(unsigned input);
// The "rangemax=" of that key's line in a list reply; empty when the line or either range
// annotation is missing, or the maximum is negative.
std::optional<unsigned> ParseBitrateRangeMaximum(std::string_view reply, unsigned input);
// The set request for the host's format: the maximum bitrate, constant quality, no
// de-interlacing, enabled, the divider of the frame rate, the quality as given (0 to 100), the
// resolution name.
std::string MjpegEncoderRequest(const EncoderInputs& in, unsigned max_bitrate);
// The set request of the idle profile: a third of the maximum bitrate, 5 frames per second,
// quality 60.
std::string IdleEncoderRequest(unsigned input, bool ntsc, unsigned max_bitrate);

// Asks the camera for the bitrate range once: true at once when max_bitrate is already known
// (not 0); otherwise true when a 200 reply held the range, whose maximum is stored there.
bool QueryBitrateRange(Web::CHttpClient& client, unsigned input, unsigned& max_bitrate);
// QueryBitrateRange, then MjpegEncoderRequest; true when both were answered with 200.
bool ConfigureMjpegEncoder(Web::CHttpClient& client, const EncoderInputs& in, unsigned& max_bitrate);
// Sends IdleEncoderRequest when the maximum bitrate is known; the answer does not matter.
void RestoreIdleEncoder(Web::CHttpClient& client, unsigned input, bool ntsc, unsigned max_bitrate);

}  // namespace kalmora
