#include "picture_transcoder.h"

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <jpeglib.h>

#include "streaming/jpeg_picture_scan.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace tessavirn_host {

namespace {

// The packet buffer is given back when a much smaller frame follows a frame above this, so one
// huge frame does not hold its memory for the life of the channel.
constexpr std::size_t kKeptPacketBytes = 1u << 20;

// Every FFmpeg decoder writes its complaints to stderr unless told otherwise; the program logs
// what matters itself. The level is process-wide, so it is set once.
void SilenceFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// The offset of the next 00 00 01 start code at or after from, or the size when there is none.
std::size_t NextStartCode(std::span<const std::uint8_t> bytes, std::size_t from) {
  for (std::size_t i = from; i + 3 <= bytes.size(); ++i) {
    if (bytes[i + 2] > 1) {
      i += 2;  // none of the three bytes can start a start code that covers i + 2
      continue;
    }
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) return i;
  }
  return bytes.size();
}

// The H.264 access unit holds an IDR slice: it needs no earlier picture.
bool HasIdrSlice(std::span<const std::uint8_t> frame) {
  constexpr std::uint8_t kNalIdrSlice = 5;
  for (std::size_t at = NextStartCode(frame, 0); at + 3 < frame.size(); at = NextStartCode(frame, at + 3)) {
    if ((frame[at + 3] & 0x1F) == kNalIdrSlice) return true;
  }
  return false;
}

// The MPEG-4 frame holds a video object layer header (start codes 20..2F) and an intra VOP
// (start code B6, vop_coding_type 00 in the top two bits of the next byte).
bool HasConfigurationAndIntraVop(std::span<const std::uint8_t> frame) {
  bool configuration = false;
  for (std::size_t at = NextStartCode(frame, 0); at + 3 < frame.size(); at = NextStartCode(frame, at + 3)) {
    const std::uint8_t code = frame[at + 3];
    if (code >= 0x20 && code <= 0x2F) configuration = true;
    if (code == 0xB6) return configuration && at + 4 < frame.size() && (frame[at + 4] >> 6) == 0;
  }
  return false;
}

struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void OnJpegError(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1); }

void IgnoreJpegMessage(j_common_ptr) {}

// A compression into memory; buffer and size are set by libjpeg's memory destination.
struct JpegOutput {
  jpeg_compress_struct info{};
  JpegErrors errors{};
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
};

// A planar 4:2:0 picture.
struct Planes420 {
  const std::uint8_t* data[3];
  int stride[3];
  int width;
  int height;
};

// Rows of one plane for one row group of the compressor: pointers into the picture when its rows
// are whole blocks wide, else copies in scratch that repeat the last sample out to padded_width.
// Rows past the bottom repeat the last row.
void PointRows(const std::uint8_t* plane, int stride, int width, int height, int first_row, int rows,
               int padded_width, std::uint8_t* scratch, JSAMPROW* out) {
  for (int i = 0; i < rows; ++i) {
    const int row = std::min(first_row + i, height - 1);
    const std::uint8_t* source = plane + static_cast<std::ptrdiff_t>(row) * stride;
    if (padded_width == width) {
      out[i] = const_cast<JSAMPROW>(source);  // libjpeg only reads the rows it is given
      continue;
    }
    std::uint8_t* copy = scratch + static_cast<std::ptrdiff_t>(i) * padded_width;
    std::memcpy(copy, source, static_cast<std::size_t>(width));
    std::memset(copy + width, source[width - 1], static_cast<std::size_t>(padded_width - width));
    out[i] = copy;
  }
}

// Compresses the planes as they are (raw data in, no colour conversion or downsampling). scratch
// holds 24 rows of width rounded up to 16. On an error libjpeg jumps back here and the result is
// false; out's buffer and struct are released by the caller either way. No object with a
// destructor lives in this frame, so the jump skips none.
bool CompressRaw(JpegOutput& out, const Planes420& planes, int quality, std::uint8_t* scratch) {
  jpeg_compress_struct& info = out.info;
  info.err = jpeg_std_error(&out.errors.manager);
  out.errors.manager.error_exit = OnJpegError;
  out.errors.manager.output_message = IgnoreJpegMessage;
  if (setjmp(out.errors.jump) != 0) return false;
  jpeg_create_compress(&info);
  info.image_width = static_cast<JDIMENSION>(planes.width);
  info.image_height = static_cast<JDIMENSION>(planes.height);
  info.input_components = 3;
  info.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&info);
  jpeg_set_colorspace(&info, JCS_YCbCr);
  info.comp_info[0].h_samp_factor = 2;
  info.comp_info[0].v_samp_factor = 2;
  for (int c = 1; c < 3; ++c) {
    info.comp_info[c].h_samp_factor = 1;
    info.comp_info[c].v_samp_factor = 1;
  }
  jpeg_set_quality(&info, quality, TRUE);
  info.raw_data_in = TRUE;
  jpeg_mem_dest(&info, &out.buffer, &out.size);
  jpeg_start_compress(&info, TRUE);

  // One row group is 16 luma rows and 8 rows of each chroma plane.
  const int padded_width = (planes.width + 15) & ~15;
  const int chroma_width = (planes.width + 1) / 2;
  const int chroma_height = (planes.height + 1) / 2;
  std::uint8_t* luma_scratch = scratch;
  std::uint8_t* cb_scratch = luma_scratch + static_cast<std::ptrdiff_t>(16) * padded_width;
  std::uint8_t* cr_scratch = cb_scratch + static_cast<std::ptrdiff_t>(8) * (padded_width / 2);
  JSAMPROW luma_rows[16];
  JSAMPROW cb_rows[8];
  JSAMPROW cr_rows[8];
  JSAMPARRAY group[3] = {luma_rows, cb_rows, cr_rows};
  while (info.next_scanline < info.image_height) {
    const int row = static_cast<int>(info.next_scanline);
    PointRows(planes.data[0], planes.stride[0], planes.width, planes.height, row, 16, padded_width, luma_scratch,
              luma_rows);
    PointRows(planes.data[1], planes.stride[1], chroma_width, chroma_height, row / 2, 8, padded_width / 2, cb_scratch,
              cb_rows);
    PointRows(planes.data[2], planes.stride[2], chroma_width, chroma_height, row / 2, 8, padded_width / 2, cr_scratch,
              cr_rows);
    if (jpeg_write_raw_data(&info, group, 16) == 0) return false;
  }
  jpeg_finish_compress(&info);
  return true;
}

// Video range to full range: Y 16-235 and Cb, Cr 16-240 onto 0-255, rounded and clamped.
constexpr std::array<std::uint8_t, 256> FullRangeTable(int low, int high) {
  std::array<std::uint8_t, 256> table{};
  for (int v = 0; v < 256; ++v) {
    const int stretched = ((v - low) * 255 * 2 + (high - low)) / ((high - low) * 2);
    table[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(std::clamp(stretched, 0, 255));
  }
  return table;
}
constexpr std::array<std::uint8_t, 256> kLumaToFullRange = FullRangeTable(16, 235);
// Chroma is centred on 128: 16-240 spans 224 around it.
constexpr std::array<std::uint8_t, 256> kChromaToFullRange = FullRangeTable(16, 240);

}  // namespace

PictureTranscoder::PictureTranscoder(Codec codec) : codec_(codec) {
  SilenceFfmpegLog();
  packet_ = av_packet_alloc();
  received_ = av_frame_alloc();
  latest_ = av_frame_alloc();
  converted_ = av_frame_alloc();
  if (packet_ == nullptr || received_ == nullptr || latest_ == nullptr || converted_ == nullptr || !OpenDecoder()) {
    av_packet_free(&packet_);
    av_frame_free(&received_);
    av_frame_free(&latest_);
    av_frame_free(&converted_);
    throw std::runtime_error(codec == Codec::kH264 ? "cannot open an H.264 decoder" : "cannot open an MPEG-4 decoder");
  }
}

PictureTranscoder::~PictureTranscoder() {
  CloseDecoder();
  sws_freeContext(scaler_);
  av_packet_free(&packet_);
  av_frame_free(&received_);
  av_frame_free(&latest_);
  av_frame_free(&converted_);
}

bool PictureTranscoder::OpenDecoder() {
  const AVCodec* decoder = avcodec_find_decoder(codec_ == Codec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_MPEG4);
  if (decoder == nullptr) return false;
  context_ = avcodec_alloc_context3(decoder);
  if (context_ == nullptr) return false;
  // One thread per channel, and no frame held back for reordering: the streams have no B-frames.
  context_->thread_count = 1;
  context_->thread_type = 0;
  context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  context_->max_pixels = kMaxPixels;
  if (avcodec_open2(context_, decoder, nullptr) < 0) {
    avcodec_free_context(&context_);
    return false;
  }
  return true;
}

void PictureTranscoder::CloseDecoder() { avcodec_free_context(&context_); }

bool PictureTranscoder::IsKeyFrame(std::span<const std::uint8_t> frame) const {
  return codec_ == Codec::kH264 ? HasIdrSlice(frame) : HasConfigurationAndIntraVop(frame);
}

bool PictureTranscoder::Decode(std::span<const std::uint8_t> frame) {
  if (frame.empty() || frame.size() > kMaxFrameBytes) return false;
  // Frames before a key frame cannot give a whole picture. They are not even decoded: that saves
  // the work, and what comes out does not hang on whether a decoder shows its guesses.
  if (waiting_for_key_ && !IsKeyFrame(frame)) return false;
  if (context_ == nullptr && !OpenDecoder()) return false;

  const std::size_t padded = frame.size() + AV_INPUT_BUFFER_PADDING_SIZE;
  if (packet_bytes_.capacity() > kKeptPacketBytes && padded < packet_bytes_.capacity() / 4) {
    std::vector<std::uint8_t>().swap(packet_bytes_);
  }
  packet_bytes_.resize(padded);
  std::memcpy(packet_bytes_.data(), frame.data(), frame.size());
  std::memset(packet_bytes_.data() + frame.size(), 0, AV_INPUT_BUFFER_PADDING_SIZE);
  av_packet_unref(packet_);
  packet_->data = packet_bytes_.data();
  packet_->size = static_cast<int>(frame.size());

  bool produced = false;
  // Takes every picture the decoder has; a damaged one (concealed errors) is not kept.
  const auto drain = [&] {
    while (avcodec_receive_frame(context_, received_) == 0) {
      const bool damaged = received_->decode_error_flags != 0 || (received_->flags & AV_FRAME_FLAG_CORRUPT) != 0 ||
                           received_->width <= 0 || received_->height <= 0;
      if (damaged) {
        av_frame_unref(received_);
        continue;
      }
      av_frame_unref(latest_);
      av_frame_move_ref(latest_, received_);
      ++decoded_;
      produced = true;
      waiting_for_key_ = false;
    }
  };
  const int sent = avcodec_send_packet(context_, packet_);
  drain();
  // A decoder that still held output takes the packet once that is drained.
  if (sent == AVERROR(EAGAIN) && avcodec_send_packet(context_, packet_) == 0) drain();
  av_packet_unref(packet_);
  return produced;
}

const AVFrame* PictureTranscoder::Picture420() {
  const AVFrame* picture = latest_;
  const int w = picture->width;
  const int h = picture->height;
  const bool planar_420 = picture->format == AV_PIX_FMT_YUV420P || picture->format == AV_PIX_FMT_YUVJ420P;
  // JPEG viewers take samples as full range (0-255); decoders give most camera streams in the
  // video range (Y 16-235, Cb and Cr 16-240), which would look grey and flat unstretched.
  const bool full_range = picture->format == AV_PIX_FMT_YUVJ420P || picture->format == AV_PIX_FMT_YUVJ422P ||
                          picture->format == AV_PIX_FMT_YUVJ444P || picture->color_range == AVCOL_RANGE_JPEG;
  if (planar_420 && full_range) return picture;
  if (converted_->data[0] == nullptr || converted_->width != w || converted_->height != h) {
    av_frame_unref(converted_);
    converted_->format = AV_PIX_FMT_YUV420P;
    converted_->width = w;
    converted_->height = h;
    if (av_frame_get_buffer(converted_, 0) < 0) {
      av_frame_unref(converted_);
      return nullptr;
    }
  }
  const AVFrame* source = picture;
  if (!planar_420) {
    // Other layouts become 4:2:0 first, in the range they have.
    scaler_ = sws_getCachedContext(scaler_, w, h, static_cast<AVPixelFormat>(picture->format), w, h,
                                   AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) return nullptr;
    if (sws_scale(scaler_, picture->data, picture->linesize, 0, h, converted_->data, converted_->linesize) != h) {
      return nullptr;
    }
    if (full_range) return converted_;
    source = converted_;
  }
  const int heights[3] = {h, (h + 1) / 2, (h + 1) / 2};
  const int widths[3] = {w, (w + 1) / 2, (w + 1) / 2};
  for (int plane = 0; plane < 3; ++plane) {
    const std::array<std::uint8_t, 256>& stretch = plane == 0 ? kLumaToFullRange : kChromaToFullRange;
    for (int row = 0; row < heights[plane]; ++row) {
      const std::uint8_t* from = source->data[plane] + static_cast<std::ptrdiff_t>(row) * source->linesize[plane];
      std::uint8_t* to = converted_->data[plane] + static_cast<std::ptrdiff_t>(row) * converted_->linesize[plane];
      for (int x = 0; x < widths[plane]; ++x) to[x] = stretch[from[x]];
    }
  }
  return converted_;
}

std::vector<std::uint8_t> PictureTranscoder::EncodeLatest(int quality) {
  if (latest_->data[0] == nullptr) return {};
  const AVFrame* picture = Picture420();
  if (picture == nullptr) return {};
  Planes420 planes{};
  planes.width = picture->width;
  planes.height = picture->height;
  const int chroma_width = (planes.width + 1) / 2;
  for (int c = 0; c < 3; ++c) {
    planes.data[c] = picture->data[c];
    planes.stride[c] = picture->linesize[c];
    if (planes.data[c] == nullptr || planes.stride[c] < (c == 0 ? planes.width : chroma_width)) return {};
  }
  const std::size_t padded_width = (static_cast<std::size_t>(planes.width) + 15) & ~std::size_t{15};
  padded_rows_.resize(24 * padded_width);

  JpegOutput out;
  const bool compressed = CompressRaw(out, planes, std::clamp(quality, 1, 100), padded_rows_.data());
  std::vector<std::uint8_t> jpeg;
  if (compressed && out.buffer != nullptr) jpeg.assign(out.buffer, out.buffer + out.size);
  jpeg_destroy_compress(&out.info);
  std::free(out.buffer);
  return jpeg;
}

void PictureTranscoder::Reset() {
  CloseDecoder();
  waiting_for_key_ = true;
}

int PictureTranscoder::width() const { return latest_->data[0] != nullptr ? latest_->width : 0; }

int PictureTranscoder::height() const { return latest_->data[0] != nullptr ? latest_->height : 0; }

std::optional<std::pair<int, int>> JpegPictureSize(std::span<const std::uint8_t> jpeg) {
  const auto size = kalmora::FindJpegPictureSize(jpeg.data(), jpeg.size());
  if (!size || size->width == 0 || size->height == 0) return std::nullopt;
  return std::pair<int, int>{size->width, size->height};
}

}  // namespace tessavirn_host
