#include "camsim/jpeg_clip.h"

#include "camsim/jpeg_picture.h"

namespace camsim {
namespace {

constexpr unsigned char kMarkerPrefix = 0xFF;
constexpr unsigned char kStartOfImage = 0xD8;
constexpr unsigned char kEndOfImage = 0xD9;
constexpr unsigned char kStartOfScan = 0xDA;
constexpr unsigned char kDefineQuantTables = 0xDB;
constexpr std::size_t kTableSize = 64;
constexpr int kMaxTableQ = 99;
constexpr int kMaxInBandQ = 255;
constexpr int kFirstInBandQ = 128;
constexpr int kMaxRestartInterval = 0xFFFF;

unsigned Byte(std::string_view bytes, std::size_t at) {
  return static_cast<unsigned char>(bytes[at]);
}

bool IsRestartType(int type) { return type == 64 || type == 65; }

JpegEncoding EncodingOf(const MjpegSettings& settings, std::size_t frame) {
  JpegEncoding encoding;
  encoding.width = settings.width;
  encoding.height = settings.height;
  encoding.quality = settings.q < kFirstInBandQ ? settings.q : settings.table_quality;
  encoding.luma_2x1 = (settings.type & 1) == 0;
  encoding.restart_interval =
      IsRestartType(settings.type) ? static_cast<unsigned>(settings.restart_interval) : 0;
  const auto frames = static_cast<int>(JpegClip::kFrameCount);
  encoding.shift = static_cast<int>(frame) * settings.width / frames;
  return encoding;
}

}  // namespace

std::optional<JpegParts> FindJpegParts(std::string_view jpeg) {
  if (jpeg.size() < 4 || Byte(jpeg, 0) != kMarkerPrefix || Byte(jpeg, 1) != kStartOfImage) {
    return std::nullopt;
  }
  JpegParts parts;
  std::size_t at = 2;
  // Every segment up to the scan has a 16-bit length that counts itself.
  while (at + 4 <= jpeg.size() && Byte(jpeg, at) == kMarkerPrefix) {
    const unsigned marker = Byte(jpeg, at + 1);
    const std::size_t length = (Byte(jpeg, at + 2) << 8) | Byte(jpeg, at + 3);
    if (length < 2 || at + 2 + length > jpeg.size()) return std::nullopt;
    const std::string_view body = jpeg.substr(at + 4, length - 2);
    if (marker == kDefineQuantTables) {
      // Tables of 8-bit precision (high nibble 0): id byte and 64 values each.
      for (std::size_t t = 0; t + 1 + kTableSize <= body.size(); t += 1 + kTableSize) {
        const unsigned id = Byte(body, t);
        if ((id >> 4) != 0) return std::nullopt;
        if (id == 0) parts.luma_table = std::string(body.substr(t + 1, kTableSize));
        if (id == 1) parts.chroma_table = std::string(body.substr(t + 1, kTableSize));
      }
    }
    at += 2 + length;
    if (marker == kStartOfScan) {
      std::size_t end = jpeg.size();
      if (end >= at + 2 && Byte(jpeg, end - 2) == kMarkerPrefix &&
          Byte(jpeg, end - 1) == kEndOfImage) {
        end -= 2;
      }
      parts.scan_offset = at;
      parts.scan_length = end - at;
      return parts;
    }
  }
  return std::nullopt;
}

std::string JpegClip::CheckSettings(const MjpegSettings& settings) {
  if (settings.type != 0 && settings.type != 1 && !IsRestartType(settings.type)) {
    return "the JPEG type is 0, 1, 64 or 65";
  }
  // Q of 100 to 127 is reserved (RFC 2435 section 3.1.4).
  const bool from_q = settings.q >= 1 && settings.q <= kMaxTableQ;
  const bool in_band = settings.q >= kFirstInBandQ && settings.q <= kMaxInBandQ;
  if (!from_q && !in_band) {
    return "Q runs from 1 to 99 (tables from Q) or 128 to 255 (tables in band)";
  }
  if (settings.table_quality < 1 || settings.table_quality > 100) {
    return "the table quality runs from 1 to 100";
  }
  for (const int size : {settings.width, settings.height}) {
    if (size < 16 || size > kMaxDimension || size % 16 != 0) {
      return "width and height are multiples of 16 from 16 to " + std::to_string(kMaxDimension);
    }
  }
  if (settings.restart_interval < 1 || settings.restart_interval > kMaxRestartInterval) {
    return "the restart interval runs from 1 to 65535 MCUs";
  }
  return {};
}

std::string JpegClip::EncodeFrame(const MjpegSettings& settings, std::size_t frame) {
  if (!CheckSettings(settings).empty() || frame >= kFrameCount) return {};
  return EncodeTestPicture(EncodingOf(settings, frame));
}

bool JpegClip::Encode(const MjpegSettings& settings, std::string* error) {
  const std::string wrong = CheckSettings(settings);
  if (!wrong.empty()) {
    if (error) *error = "Motion-JPEG: " + wrong;
    return false;
  }
  std::vector<JpegClipFrame> frames;
  for (std::size_t i = 0; i < kFrameCount; ++i) {
    JpegClipFrame frame;
    frame.jpeg = EncodeTestPicture(EncodingOf(settings, i));
    const std::optional<JpegParts> parts = FindJpegParts(frame.jpeg);
    if (!parts || parts->luma_table.empty() || parts->chroma_table.empty()) {
      if (error) *error = "Motion-JPEG: libjpeg did not make a baseline picture";
      return false;
    }
    frame.parts = *parts;
    frames.push_back(std::move(frame));
  }
  frames_ = std::move(frames);
  settings_ = settings;
  return true;
}

}  // namespace camsim
