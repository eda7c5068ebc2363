// The encoder settings an RTSP channel sends to the camera before each session, and the numbers
// behind them: resolution name, frame rate, quality value and bitrate.
#pragma once

#include <string>
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

}  // namespace kalmora
