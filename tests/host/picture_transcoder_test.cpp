#include "picture_transcoder.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "driver_frames.h"

namespace tessavirn_host {
namespace {

using Codec = PictureTranscoder::Codec;

// Where the picture of a key frame starts (its IDR slice, or its GOV or VOP header), after the
// parameter sets or configuration header.
std::size_t PictureStart(Codec codec, const Bytes& key) {
  for (std::size_t i = 0; i + 3 < key.size(); ++i) {
    if (key[i] != 0 || key[i + 1] != 0 || key[i + 2] != 1) continue;
    if (codec == Codec::kH264 ? (key[i + 3] & 0x1F) == 5 : (key[i + 3] == 0xB3 || key[i + 3] == 0xB6)) return i;
  }
  return key.size();
}

// Picture `index` of a clip as FFmpeg's own program decodes it, planar 4:2:0 in the full range
// that JPEG viewers assume.
Bytes ReferencePicture(const std::string& clip, std::size_t index) {
  const std::string command = "ffmpeg -v error -nostdin -i '" + clip + "' -vf 'select=eq(n\\," + std::to_string(index) +
                              ")' -fps_mode passthrough -frames:v 1 -pix_fmt yuvj420p -f rawvideo -";
  Bytes yuv;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  std::uint8_t chunk[65536];
  for (std::size_t n; pipe != nullptr && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    yuv.insert(yuv.end(), chunk, chunk + n);
  }
  EXPECT_TRUE(pipe != nullptr && ::pclose(pipe) == 0) << command;
  return yuv;
}

struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

// Mean absolute differences, luma and chroma, between a JPEG and a planar 4:2:0 reference; the
// JPEG must be baseline YCbCr 4:2:0 of the given size (else they are huge). Chroma is upsampled
// by repeating samples, so the sample at even coordinates is the one the file holds.
std::pair<double, double> Difference(const Bytes& jpeg, const Bytes& yuv, int width, int height) {
  jpeg_decompress_struct info{};
  JpegErrors errors{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = [](j_common_ptr i) { std::longjmp(reinterpret_cast<JpegErrors*>(i->err)->jump, 1); };
  const std::size_t w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
  const std::size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
  Bytes pixels(w * h * 3);
  if (yuv.size() != w * h + 2 * cw * ch) return {1e9, 1e9};
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return {1e9, 1e9};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  const jpeg_component_info* c = info.comp_info;
  const bool baseline_420 = !info.progressive_mode && !info.arith_code && info.num_components == 3 &&
                            info.jpeg_color_space == JCS_YCbCr && c[0].h_samp_factor == 2 && c[0].v_samp_factor == 2 &&
                            c[1].h_samp_factor == 1 && c[1].v_samp_factor == 1 && c[2].h_samp_factor == 1 &&
                            c[2].v_samp_factor == 1 && info.image_width == w && info.image_height == h;
  info.out_color_space = JCS_YCbCr;
  info.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&info);
  while (baseline_420 && info.output_scanline < h) {
    JSAMPROW row = pixels.data() + info.output_scanline * w * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  const bool clean = baseline_420 && errors.manager.num_warnings == 0;
  jpeg_destroy_decompress(&info);
  if (!clean) return {1e9, 1e9};
  double luma = 0, chroma = 0;
  for (std::size_t i = 0; i < w * h; ++i) luma += std::abs(pixels[i * 3] - yuv[i]);
  for (std::size_t y = 0; y < ch; ++y) {
    for (std::size_t x = 0; x < cw; ++x) {
      const std::uint8_t* pixel = &pixels[(2 * y * w + 2 * x) * 3];
      chroma += std::abs(pixel[1] - yuv[w * h + y * cw + x]) + std::abs(pixel[2] - yuv[w * h + cw * ch + y * cw + x]);
    }
  }
  return {luma / static_cast<double>(w * h), chroma / static_cast<double>(2 * cw * ch)};
}

struct ClipCase {
  const char* name;
  Codec codec;
  std::string clip;
  int width;
  int height;
};

class PictureTranscoderClip : public ::testing::TestWithParam<ClipCase> {};

// Joined in the middle of a group of pictures, after the headers of a key frame whose picture
// was lost, the transcoder produces nothing until the next key frame, then one picture per frame.
// The JPEG of a key and of a predicted picture is close, in every plane, to what FFmpeg's
// program decodes from the clip at that frame.
TEST_P(PictureTranscoderClip, OnePicturePerFrameFromTheFirstKeyFrameAndJpegMatchesTheReference) {
  const ClipCase& c = GetParam();
  const std::vector<DriverFrame> frames = DriverFrames(c.codec, c.clip);
  std::size_t first_key = 1;
  while (first_key < frames.size() && !frames[first_key].key) ++first_key;
  ASSERT_LT(first_key + 8, frames.size());
  const std::size_t picture_start = PictureStart(c.codec, frames[0].bytes);
  ASSERT_LT(picture_start, frames[0].bytes.size());

  PictureTranscoder transcoder(c.codec);
  EXPECT_FALSE(transcoder.Decode(std::span(frames[0].bytes).first(picture_start)));
  for (std::size_t i = 1; i < first_key; ++i) EXPECT_FALSE(transcoder.Decode(frames[i].bytes)) << "frame " << i;
  EXPECT_EQ(transcoder.decoded(), 0u);
  EXPECT_EQ(transcoder.width(), 0);
  EXPECT_TRUE(transcoder.EncodeLatest(80).empty());

  for (std::size_t i = first_key; i < frames.size(); ++i) {
    ASSERT_TRUE(transcoder.Decode(frames[i].bytes)) << "frame " << i;
    ASSERT_EQ(transcoder.decoded(), i - first_key + 1);
    ASSERT_EQ(std::pair(transcoder.width(), transcoder.height()), std::pair(c.width, c.height));
    if (i != first_key && i != first_key + 7) continue;
    const Bytes jpeg = transcoder.EncodeLatest(90);
    EXPECT_EQ(JpegPictureSize(jpeg), std::pair(c.width, c.height));
    const auto [luma, chroma] = Difference(jpeg, ReferencePicture(c.clip, i), c.width, c.height);
    EXPECT_LT(luma, 2.5) << "frame " << i;
    EXPECT_LT(chroma, 2.5) << "frame " << i;
  }
  // Quality is clamped to 1..100, and coarser is smaller.
  EXPECT_EQ(transcoder.EncodeLatest(-7), transcoder.EncodeLatest(1));
  EXPECT_EQ(transcoder.EncodeLatest(1000), transcoder.EncodeLatest(100));
  EXPECT_LT(transcoder.EncodeLatest(1).size(), transcoder.EncodeLatest(50).size());
}

const std::string kClips = TRANSCODER_CLIP_DIR;
INSTANTIATE_TEST_SUITE_P(
    Clips, PictureTranscoderClip,
    ::testing::Values(ClipCase{"H264_640x480", Codec::kH264, CAMSIM_DEFAULT_CLIP, 640, 480},
                      ClipCase{"Mpeg4_352x288", Codec::kMpeg4, CAMSIM_MPEG4_CLIP, 352, 288},
                      // Rows not whole blocks wide or high.
                      ClipCase{"H264_330x250", Codec::kH264, kClips + "/h264_330x250.h264", 330, 250},
                      ClipCase{"H264_FullRange", Codec::kH264, kClips + "/h264_full_range_320x240.h264", 320, 240},
                      // Converted to 4:2:0 first.
                      ClipCase{"H264_444_321x241", Codec::kH264, kClips + "/h264_444_321x241.h264", 321, 241}),
    [](const ::testing::TestParamInfo<ClipCase>& row) { return std::string(row.param.name); });

Bytes RandomBytes(std::mt19937& random, std::size_t size) {
  Bytes bytes(size);
  for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

// Bad frames of one kind, made from the clip's frames 0 (key) to 3.
struct GarbageCase {
  const char* name;
  std::vector<Bytes> (*make)(Codec, const std::vector<DriverFrame>&, std::mt19937&);
  bool refused;  // every frame gives false; else damage the decoder may live with
};

const GarbageCase kGarbageCases[] = {
    {"empty and random bytes",
     [](Codec, const std::vector<DriverFrame>&, std::mt19937& r) {
       return std::vector<Bytes>{{}, RandomBytes(r, 3), RandomBytes(r, 4096), RandomBytes(r, 300000)};
     },
     true},
    // Passes for a key frame: its headers and the first bytes of its picture, then noise.
    {"random bytes after a key frame's headers",
     [](Codec codec, const std::vector<DriverFrame>& frames, std::mt19937& r) {
       const Bytes& key = frames[0].bytes;
       Bytes bytes(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(PictureStart(codec, key)) + 5);
       const Bytes noise = RandomBytes(r, 20000);
       bytes.insert(bytes.end(), noise.begin(), noise.end());
       return std::vector<Bytes>{bytes};
     },
     true},
    {"truncated key and predicted frames",
     [](Codec, const std::vector<DriverFrame>& frames, std::mt19937&) {
       const Bytes &key = frames[0].bytes, &delta = frames[3].bytes;
       return std::vector<Bytes>{Bytes(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(key.size() / 2)),
                                 Bytes(delta.begin(), delta.begin() + static_cast<std::ptrdiff_t>(delta.size() / 3))};
     },
     true},
    {"key frame above the size limit",
     [](Codec, const std::vector<DriverFrame>& frames, std::mt19937&) {
       Bytes big = frames[0].bytes;
       big.resize(PictureTranscoder::kMaxFrameBytes + 1, 0);
       return std::vector<Bytes>{big};
     },
     true},
    {"frames with flipped bytes",
     [](Codec, const std::vector<DriverFrame>& frames, std::mt19937& r) {
       std::vector<Bytes> damaged;
       for (int round = 0; round < 2; ++round) {
         for (const DriverFrame& frame : frames) {
           Bytes bytes = frame.bytes;
           for (int flips = 0; flips < 6; ++flips) bytes[r() % bytes.size()] ^= static_cast<std::uint8_t>(1 + r() % 255);
           damaged.push_back(std::move(bytes));
         }
       }
       return damaged;
     },
     false},
};

class PictureTranscoderGarbage : public ::testing::TestWithParam<ClipCase> {};

// Bad frames give false (or, for damage the decoder can live with, at most a picture each) and
// no crash, and the last good picture stays. After Reset a predicted frame gives nothing and
// decoding resumes with the next key frame.
TEST_P(PictureTranscoderGarbage, BadFramesAreRefusedAndResetResumesAtTheNextKeyFrame) {
  const ClipCase& c = GetParam();
  const std::vector<DriverFrame> frames = DriverFrames(c.codec, c.clip);
  std::size_t key = 1;
  while (key < frames.size() && !frames[key].key) ++key;
  ASSERT_LT(key + 1, frames.size());
  ASSERT_FALSE(frames[3].key);
  for (const GarbageCase& garbage : kGarbageCases) {
    SCOPED_TRACE(garbage.name);
    PictureTranscoder transcoder(c.codec);
    for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(transcoder.Decode(frames[i].bytes));
    std::mt19937 random(7);
    for (const Bytes& bad : garbage.make(c.codec, frames, random)) {
      const std::uint64_t before = transcoder.decoded();
      const bool produced = transcoder.Decode(bad);
      EXPECT_EQ(transcoder.decoded(), before + (produced ? 1 : 0));
      if (!garbage.refused) continue;
      EXPECT_FALSE(produced);
      EXPECT_EQ(std::pair(transcoder.width(), transcoder.height()), std::pair(c.width, c.height));
    }
    transcoder.Reset();
    const std::uint64_t before_reset = transcoder.decoded();
    EXPECT_FALSE(transcoder.Decode(frames[key + 1].bytes));
    EXPECT_FALSE(transcoder.EncodeLatest(75).empty()) << "the last picture stays after Reset";
    EXPECT_TRUE(transcoder.Decode(frames[key].bytes));
    EXPECT_TRUE(transcoder.Decode(frames[key + 1].bytes));
    EXPECT_EQ(transcoder.decoded(), before_reset + 2);
    EXPECT_EQ(JpegPictureSize(transcoder.EncodeLatest(75)), std::pair(c.width, c.height));
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, PictureTranscoderGarbage,
                         ::testing::Values(ClipCase{"H264", Codec::kH264, CAMSIM_DEFAULT_CLIP, 640, 480},
                                           ClipCase{"Mpeg4", Codec::kMpeg4, CAMSIM_MPEG4_CLIP, 352, 288}),
                         [](const ::testing::TestParamInfo<ClipCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tessavirn_host
