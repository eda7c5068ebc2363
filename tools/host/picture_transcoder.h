#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace tessavirn_host {

// Decodes the frames of one H.264 or MPEG-4 stream, in order, and encodes the latest decoded
// picture as JPEG, for live views. One decoder thread each (a host may have many channels), low
// delay: a frame fed comes out at once, as the streams have no B-frames.
// Not thread-safe: one worker thread owns an instance.
class PictureTranscoder {
 public:
  enum class Codec { kH264, kMpeg4 };

  // Larger frames are refused: no camera sends them, and the decoder copies every frame.
  static constexpr std::size_t kMaxFrameBytes = 16u << 20;
  // Pictures of more pixels are refused by the decoder before it allocates them (a garbage
  // sequence header may claim any size); 8192x4096 is above every camera's resolution.
  static constexpr int kMaxPixels = 8192 * 4096;

  // Throws std::runtime_error when libavcodec cannot open a decoder for the codec.
  explicit PictureTranscoder(Codec codec);
  ~PictureTranscoder();
  PictureTranscoder(const PictureTranscoder&) = delete;
  PictureTranscoder& operator=(const PictureTranscoder&) = delete;

  // Decodes one frame as the driver hands it over (H.264: one access unit in Annex B with start
  // codes, parameter sets in front of key frames; MPEG-4: one VOP, with the VOL configuration
  // header in front of key frames). True when it produced a picture. Until a key frame has
  // produced a picture, other frames are not decoded. Garbage, truncated frames (pictures the
  // decoder had to conceal damage in), empty frames and frames above kMaxFrameBytes: false.
  bool Decode(std::span<const std::uint8_t> frame);

  // The last decoded picture as a baseline JPEG, YCbCr 4:2:0, at quality 1..100 (clamped); empty
  // when there is none. Full-range planar 4:2:0 pictures are compressed as they are; video-range
  // samples are stretched to the full range JPEG viewers assume, and other layouts become 4:2:0.
  std::vector<std::uint8_t> EncodeLatest(int quality);

  // Forgets the decoder state (after frames were dropped): decoding resumes at the next key
  // frame. The last picture stays, for EncodeLatest, until a new one replaces it.
  void Reset();

  // Pictures produced since construction.
  std::uint64_t decoded() const { return decoded_; }
  // Of the last picture; 0 before one.
  int width() const;
  int height() const;

 private:
  bool OpenDecoder();
  void CloseDecoder();
  bool IsKeyFrame(std::span<const std::uint8_t> frame) const;
  // The latest picture as planar 4:2:0: itself, or converted into converted_. Null when it cannot be.
  const AVFrame* Picture420();

  Codec codec_;
  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* received_ = nullptr;
  AVFrame* latest_ = nullptr;
  AVFrame* converted_ = nullptr;
  SwsContext* scaler_ = nullptr;
  // The frame with zeroed padding behind it, as the decoder's bit readers may read past the end.
  std::vector<std::uint8_t> packet_bytes_;
  // Rows padded to whole blocks, for pictures whose width is not a multiple of 16.
  std::vector<std::uint8_t> padded_rows_;
  bool waiting_for_key_ = true;
  std::uint64_t decoded_ = 0;
};

// The width and height in the first frame header of a JPEG picture, read as the driver reads it,
// for Motion-JPEG frames that pass through without decoding. Nullopt when there is none or a
// dimension is 0.
std::optional<std::pair<int, int>> JpegPictureSize(std::span<const std::uint8_t> jpeg);

}  // namespace tessavirn_host
