#include "picture_transcoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "camsim/h264_clip.h"
#include "camsim/mpeg4_clip.h"

namespace tessavirn_host {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Codec = PictureTranscoder::Codec;

struct DriverFrame {
  Bytes bytes;
  bool key = false;
};

void Append(Bytes& to, std::string_view bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// An H.264 clip as the driver hands it over: an access unit per frame with 3-byte start codes,
// the parameter sets in front of each IDR picture, an access unit delimiter at the end.
std::vector<DriverFrame> H264Frames(const std::string& path) {
  camsim::H264Clip clip;
  std::string error;
  EXPECT_TRUE(clip.LoadFile(path, &error)) << error;
  std::vector<DriverFrame> frames;
  Bytes pending;
  for (const camsim::ClipUnit& unit : clip.units()) {
    for (const std::string& nal : unit.nal_units) {
      Append(pending, std::string_view("\0\0\1", 3));
      Append(pending, nal);
    }
    if (unit.parameter_sets) continue;
    Append(pending, std::string_view("\0\0\1\x09\x30", 5));
    frames.push_back({std::move(pending), unit.idr});
    pending.clear();
  }
  return frames;
}

// An MPEG-4 clip as the driver hands it over: a VOP per frame, the configuration header in front
// of each intra VOP.
std::vector<DriverFrame> Mpeg4Frames(const std::string& path) {
  camsim::Mpeg4Clip clip;
  std::string error;
  EXPECT_TRUE(clip.LoadFile(path, &error)) << error;
  std::vector<DriverFrame> frames;
  for (const camsim::Mpeg4ClipPicture& picture : clip.pictures()) {
    DriverFrame frame;
    if (picture.intra) Append(frame.bytes, clip.config());
    Append(frame.bytes, picture.bytes);
    frame.key = picture.intra;
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::vector<DriverFrame> DriverFrames(Codec codec, const std::string& path) {
  return codec == Codec::kH264 ? H264Frames(path) : Mpeg4Frames(path);
}

std::size_t KeyAtOrAfter(const std::vector<DriverFrame>& frames, std::size_t from) {
  for (std::size_t i = from; i < frames.size(); ++i) {
    if (frames[i].key) return i;
  }
  return frames.size();
}

// Where the picture of a key frame starts: its IDR slice, or its GOV or VOP header; what comes
// before are the parameter sets or the configuration header.
std::size_t PictureStart(Codec codec, const Bytes& key) {
  for (std::size_t i = 0; i + 3 < key.size(); ++i) {
    if (key[i] != 0 || key[i + 1] != 0 || key[i + 2] != 1) continue;
    const std::uint8_t code = key[i + 3];
    if (codec == Codec::kH264 ? (code & 0x1F) == 5 : (code == 0xB3 || code == 0xB6)) return i;
  }
  return key.size();
}

// The standard output of a shell command, which must exit with 0.
bool RunCapturing(const std::string& command, Bytes* output) {
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  std::uint8_t chunk[65536];
  std::size_t read;
  while ((read = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output->insert(output->end(), chunk, chunk + read);
  return ::pclose(pipe) == 0;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// Picture `index` of a clip as FFmpeg's own program decodes it, planar 4:2:0 (yuv420p or the
// full-range yuvj420p).
Bytes ReferencePicture(const std::string& clip, std::size_t index, const char* pixel_format) {
  Bytes yuv;
  const std::string command = "ffmpeg -v error -nostdin -i " + Quoted(clip) + " -vf 'select=eq(n\\," +
                              std::to_string(index) +
                              ")' -fps_mode passthrough -frames:v 1 -pix_fmt " + pixel_format + " -f rawvideo -";
  EXPECT_TRUE(RunCapturing(command, &yuv)) << command;
  return yuv;
}

// A JPEG decoded to its YCbCr components, the chroma upsampled by repeating samples, so the
// sample at even coordinates is the one the file holds.
struct YCbCrPicture {
  bool ok = false;
  bool baseline_420 = false;
  int width = 0;
  int height = 0;
  Bytes pixels;  // Y, Cb, Cr per pixel
};

struct DecodeErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

YCbCrPicture DecodeJpeg(const Bytes& jpeg) {
  YCbCrPicture picture;
  jpeg_decompress_struct info{};
  DecodeErrors errors{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = [](j_common_ptr i) { std::longjmp(reinterpret_cast<DecodeErrors*>(i->err)->jump, 1); };
  errors.manager.output_message = [](j_common_ptr) {};
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return YCbCrPicture{};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  picture.baseline_420 = !info.progressive_mode && !info.arith_code && info.data_precision == 8 &&
                         info.num_components == 3 && info.jpeg_color_space == JCS_YCbCr &&
                         info.comp_info[0].h_samp_factor == 2 && info.comp_info[0].v_samp_factor == 2 &&
                         info.comp_info[1].h_samp_factor == 1 && info.comp_info[1].v_samp_factor == 1 &&
                         info.comp_info[2].h_samp_factor == 1 && info.comp_info[2].v_samp_factor == 1;
  info.out_color_space = JCS_YCbCr;
  info.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&info);
  picture.width = static_cast<int>(info.output_width);
  picture.height = static_cast<int>(info.output_height);
  picture.pixels.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = picture.pixels.data() + static_cast<std::size_t>(info.output_scanline) * picture.width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  picture.ok = errors.manager.num_warnings == 0;
  jpeg_destroy_decompress(&info);
  return picture;
}

struct Difference {
  double luma = 1e9;
  double chroma = 1e9;
};

// Mean absolute differences between a JPEG and a planar 4:2:0 reference of the same size.
Difference Compare(const YCbCrPicture& jpeg, const Bytes& yuv) {
  const std::size_t w = static_cast<std::size_t>(jpeg.width);
  const std::size_t h = static_cast<std::size_t>(jpeg.height);
  const std::size_t cw = (w + 1) / 2;
  const std::size_t ch = (h + 1) / 2;
  if (w == 0 || yuv.size() != w * h + 2 * cw * ch) return {};
  double luma = 0;
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x = 0; x < w; ++x) luma += std::abs(jpeg.pixels[(y * w + x) * 3] - yuv[y * w + x]);
  }
  double chroma = 0;
  const std::uint8_t* cb = yuv.data() + w * h;
  const std::uint8_t* cr = cb + cw * ch;
  for (std::size_t y = 0; y < ch; ++y) {
    for (std::size_t x = 0; x < cw; ++x) {
      const std::uint8_t* pixel = &jpeg.pixels[(2 * y * w + 2 * x) * 3];
      chroma += std::abs(pixel[1] - cb[y * cw + x]) + std::abs(pixel[2] - cr[y * cw + x]);
    }
  }
  return {luma / static_cast<double>(w * h), chroma / static_cast<double>(2 * cw * ch)};
}

// A clip: one the simulator's build made, or one FFmpeg makes for the test from its arguments.
struct ClipCase {
  const char* name;
  Codec codec;
  const char* file;              // null: made by ffmpeg
  const char* encoder_arguments;  // with the picture size in it
  int width;
  int height;
  const char* reference_format = "yuv420p";  // the range the decoder gives
};

class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessavirn-transcoder-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The clip's path, making it first when it is one of the test's own.
std::string ClipPath(const ClipCase& c, const TemporaryFolder& folder) {
  if (c.file != nullptr) return c.file;
  const std::string path = (folder.path() / (c.codec == Codec::kH264 ? "clip.h264" : "clip.m4v")).string();
  Bytes ignored;
  const std::string command =
      std::string("ffmpeg -v error -nostdin -y -f lavfi -i ") + c.encoder_arguments + " " + Quoted(path);
  EXPECT_TRUE(RunCapturing(command, &ignored)) << command;
  return path;
}

class PictureTranscoderClip : public ::testing::TestWithParam<ClipCase> {};

// Joined in the middle of a group of pictures, after the headers of a lost key frame, the
// transcoder produces nothing until the next key frame, then exactly one picture per frame; the JPEG of the picture is baseline 4:2:0 and close,
// in every plane, to what FFmpeg's program decodes from the clip at that frame.
TEST_P(PictureTranscoderClip, OnePicturePerFrameFromTheFirstKeyFrameAndJpegMatchesTheReference) {
  const ClipCase& c = GetParam();
  TemporaryFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const std::string path = ClipPath(c, folder);
  const std::vector<DriverFrame> frames = DriverFrames(c.codec, path);
  const std::size_t first_key = KeyAtOrAfter(frames, 1);
  ASSERT_LT(first_key + 10, frames.size()) << "the clip needs a second group of pictures";
  ASSERT_TRUE(frames[0].key);

  PictureTranscoder transcoder(c.codec);
  EXPECT_TRUE(transcoder.EncodeLatest(80).empty());
  // The headers of a key frame whose picture was lost: the decoder would know the stream's
  // layout, but it has no reference picture for the predicted frames.
  const Bytes& key = frames[0].bytes;
  const std::size_t picture_start = PictureStart(c.codec, key);
  ASSERT_GT(picture_start, 0u);
  ASSERT_LT(picture_start, key.size());
  EXPECT_FALSE(transcoder.Decode(std::span(key).first(picture_start)));
  for (std::size_t i = 1; i < first_key; ++i) EXPECT_FALSE(transcoder.Decode(frames[i].bytes)) << "frame " << i;
  EXPECT_EQ(transcoder.decoded(), 0u);
  EXPECT_EQ(transcoder.width(), 0);
  EXPECT_EQ(transcoder.height(), 0);
  EXPECT_TRUE(transcoder.EncodeLatest(80).empty());

  // A key picture and a predicted one some frames later.
  const std::size_t compared[] = {first_key, first_key + 7};
  for (std::size_t i = first_key; i < frames.size(); ++i) {
    ASSERT_TRUE(transcoder.Decode(frames[i].bytes)) << "frame " << i;
    ASSERT_EQ(transcoder.decoded(), i - first_key + 1);
    ASSERT_EQ(transcoder.width(), c.width);
    ASSERT_EQ(transcoder.height(), c.height);
    if (std::find(std::begin(compared), std::end(compared), i) == std::end(compared)) continue;

    SCOPED_TRACE("frame " + std::to_string(i));
    const Bytes jpeg = transcoder.EncodeLatest(90);
    EXPECT_EQ(JpegPictureSize(jpeg), std::pair(c.width, c.height));
    const YCbCrPicture decoded = DecodeJpeg(jpeg);
    ASSERT_TRUE(decoded.ok);
    EXPECT_TRUE(decoded.baseline_420);
    ASSERT_EQ(decoded.width, c.width);
    ASSERT_EQ(decoded.height, c.height);
    const Difference difference = Compare(decoded, ReferencePicture(path, i, c.reference_format));
    EXPECT_LT(difference.luma, 2.5);
    EXPECT_LT(difference.chroma, 2.5);
  }

  // Quality is clamped to 1..100 and changes the result: coarser is smaller.
  const Bytes coarsest = transcoder.EncodeLatest(1);
  const Bytes medium = transcoder.EncodeLatest(50);
  const Bytes finest = transcoder.EncodeLatest(100);
  EXPECT_EQ(transcoder.EncodeLatest(-7), coarsest);
  EXPECT_EQ(transcoder.EncodeLatest(1000), finest);
  EXPECT_LT(coarsest.size(), medium.size());
  EXPECT_LT(medium.size(), finest.size());
  EXPECT_TRUE(DecodeJpeg(coarsest).ok);
}

// A key frame every tenth for the clips the test makes.
#define TESSAVIRN_TEST_X264 " -t 1.2 -c:v libx264 -preset veryfast -bf 0 -g 10 -keyint_min 10 -sc_threshold 0 -threads 1 -f h264"

INSTANTIATE_TEST_SUITE_P(
    Clips, PictureTranscoderClip,
    ::testing::Values(
        ClipCase{"H264_640x480", Codec::kH264, CAMSIM_DEFAULT_CLIP, nullptr, 640, 480},
        ClipCase{"Mpeg4_352x288", Codec::kMpeg4, CAMSIM_MPEG4_CLIP, nullptr, 352, 288},
        // Rows that are not whole blocks wide or high.
        ClipCase{"H264_330x250", Codec::kH264, nullptr,
                 "testsrc2=size=330x250:rate=25 -pix_fmt yuv420p" TESSAVIRN_TEST_X264, 330, 250},
        ClipCase{"Mpeg4_330x250", Codec::kMpeg4, nullptr,
                 "testsrc2=size=330x250:rate=25 -t 1.2 -c:v mpeg4 -g 10 -bf 0 -threads 1 -f m4v", 330, 250},
        // 4:4:4 goes through the converter; odd sizes exist only there, as 4:2:0 needs even ones
        // (testsrc2 rounds sizes to even, testsrc does not).
        ClipCase{"H264_444_321x241", Codec::kH264, nullptr,
                 "testsrc=size=321x241:rate=25 -pix_fmt yuv444p" TESSAVIRN_TEST_X264, 321, 241},
        // Full range, which the decoder gives as yuvj420p.
        ClipCase{"H264_FullRange_320x240", Codec::kH264, nullptr,
                 "testsrc2=size=320x240:rate=25 -pix_fmt yuvj420p" TESSAVIRN_TEST_X264, 320, 240, "yuvj420p"}),
    [](const ::testing::TestParamInfo<ClipCase>& row) { return std::string(row.param.name); });

#undef TESSAVIRN_TEST_X264

// Bad input of one kind, made from the clip's frames. Each frame is fed after a key frame and two
// predicted frames decoded; refused: every one must give false.
struct GarbageCase {
  const char* name;
  std::function<std::vector<Bytes>(Codec, const std::vector<DriverFrame>&)> make;
  bool refused;
};

Bytes RandomBytes(std::mt19937& random, std::size_t size) {
  Bytes bytes(size);
  for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

// The headers of the key frame and the first bytes of its picture, followed by random bytes: it
// passes for a key frame.
Bytes FakeKeyFrame(Codec codec, const Bytes& key, std::mt19937& random) {
  Bytes bytes(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(PictureStart(codec, key)) + 5);
  const Bytes noise = RandomBytes(random, 20000);
  bytes.insert(bytes.end(), noise.begin(), noise.end());
  return bytes;
}

const GarbageCase kGarbageCases[] = {
    {"empty", [](Codec, const std::vector<DriverFrame>&) { return std::vector<Bytes>{Bytes{}}; }, true},
    {"random bytes",
     [](Codec, const std::vector<DriverFrame>&) {
       std::mt19937 random(7);
       return std::vector<Bytes>{RandomBytes(random, 3), RandomBytes(random, 4096), RandomBytes(random, 300000)};
     },
     true},
    {"random bytes after a key frame's headers",
     [](Codec codec, const std::vector<DriverFrame>& frames) {
       std::mt19937 random(11);
       return std::vector<Bytes>{FakeKeyFrame(codec, frames[0].bytes, random),
                                 FakeKeyFrame(codec, frames[0].bytes, random)};
     },
     true},
    {"truncated key frame",
     [](Codec, const std::vector<DriverFrame>& frames) {
       const Bytes& key = frames[0].bytes;
       return std::vector<Bytes>{Bytes(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(key.size() / 2))};
     },
     true},
    {"truncated predicted frame",
     [](Codec, const std::vector<DriverFrame>& frames) {
       const Bytes& delta = frames[3].bytes;
       return std::vector<Bytes>{Bytes(delta.begin(), delta.begin() + static_cast<std::ptrdiff_t>(delta.size() / 3))};
     },
     true},
    {"key frame above the size limit",
     [](Codec, const std::vector<DriverFrame>& frames) {
       Bytes big = frames[0].bytes;
       big.resize(PictureTranscoder::kMaxFrameBytes + 1, 0);
       return std::vector<Bytes>{big};
     },
     true},
    // Whether a damaged frame still decodes depends on where the damage is; it must not crash.
    {"frames with flipped bytes",
     [](Codec, const std::vector<DriverFrame>& frames) {
       std::mt19937 random(5);
       std::vector<Bytes> damaged;
       for (int round = 0; round < 2; ++round) {
         for (const DriverFrame& frame : frames) {
           Bytes bytes = frame.bytes;
           for (int flips = 0; flips < 6; ++flips) bytes[random() % bytes.size()] ^= static_cast<std::uint8_t>(1 + random() % 255);
           damaged.push_back(std::move(bytes));
         }
       }
       return damaged;
     },
     false},
};

struct CodecCase {
  const char* name;
  Codec codec;
  const char* clip;
};

class PictureTranscoderGarbage : public ::testing::TestWithParam<CodecCase> {};

// Bad input gives false (or, for damage the decoder can live with, at worst a picture) and no
// crash; the last good picture stays; after Reset a predicted frame is refused and decoding
// resumes with the next key frame.
TEST_P(PictureTranscoderGarbage, BadFramesAreRefusedAndResetResumesAtTheNextKeyFrame) {
  const CodecCase& c = GetParam();
  const std::vector<DriverFrame> frames = DriverFrames(c.codec, c.clip);
  const std::size_t second_key = KeyAtOrAfter(frames, 1);
  ASSERT_LT(second_key + 1, frames.size());
  ASSERT_TRUE(frames[0].key);
  ASSERT_FALSE(frames[3].key);

  for (const GarbageCase& garbage : kGarbageCases) {
    SCOPED_TRACE(garbage.name);
    PictureTranscoder transcoder(c.codec);
    for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(transcoder.Decode(frames[i].bytes)) << "frame " << i;
    const int width = transcoder.width();
    const int height = transcoder.height();

    for (const Bytes& bad : garbage.make(c.codec, frames)) {
      const std::uint64_t before = transcoder.decoded();
      const bool produced = transcoder.Decode(bad);
      if (garbage.refused) {
        EXPECT_FALSE(produced);
      }
      EXPECT_EQ(transcoder.decoded(), before + (produced ? 1 : 0));
      if (garbage.refused) {
        EXPECT_EQ(transcoder.width(), width);
        EXPECT_EQ(transcoder.height(), height);
      }
    }
    EXPECT_TRUE(DecodeJpeg(transcoder.EncodeLatest(75)).ok);

    transcoder.Reset();
    const std::uint64_t before_reset = transcoder.decoded();
    EXPECT_FALSE(transcoder.Decode(frames[second_key + 1].bytes));
    EXPECT_EQ(transcoder.width(), width) << "the last picture stays after Reset";
    EXPECT_FALSE(transcoder.EncodeLatest(75).empty());
    EXPECT_TRUE(transcoder.Decode(frames[second_key].bytes));
    EXPECT_TRUE(transcoder.Decode(frames[second_key + 1].bytes));
    EXPECT_EQ(transcoder.decoded(), before_reset + 2);
    const YCbCrPicture picture = DecodeJpeg(transcoder.EncodeLatest(75));
    EXPECT_TRUE(picture.ok);
    EXPECT_EQ(picture.width, width);
    EXPECT_EQ(picture.height, height);
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, PictureTranscoderGarbage,
                         ::testing::Values(CodecCase{"H264", Codec::kH264, CAMSIM_DEFAULT_CLIP},
                                           CodecCase{"Mpeg4", Codec::kMpeg4, CAMSIM_MPEG4_CLIP}),
                         [](const ::testing::TestParamInfo<CodecCase>& row) { return std::string(row.param.name); });

// JPEG headers made by hand: SOI, then segments.
Bytes Jpeg(std::initializer_list<Bytes> segments) {
  Bytes bytes = {0xFF, 0xD8};
  for (const Bytes& s : segments) bytes.insert(bytes.end(), s.begin(), s.end());
  return bytes;
}

// A marker with its length and payload.
Bytes Segment(std::uint8_t code, Bytes payload) {
  const std::size_t length = payload.size() + 2;
  payload.insert(payload.begin(), {0xFF, code, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
  return payload;
}

// A frame header of 641x481 unless told otherwise, three components.
Bytes FrameHeader(std::uint8_t code, int width = 641, int height = 481) {
  return Segment(code, {0x08, static_cast<std::uint8_t>(height >> 8), static_cast<std::uint8_t>(height),
                        static_cast<std::uint8_t>(width >> 8), static_cast<std::uint8_t>(width), 0x03, 0x01, 0x22,
                        0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01});
}

TEST(JpegPictureSize, ReadsTheFrameHeaderAndRejectsMalformedPictures) {
  const Bytes app0 = Segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
  const Bytes quant_table = Segment(0xDB, Bytes(65, 1));
  // Its code C4 lies among the frame header codes C0..CF.
  const Bytes huffman_table = Segment(0xC4, {0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00});
  const Bytes scan = [] {
    Bytes b = Segment(0xDA, {0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});
    b.insert(b.end(), {0x12, 0x34, 0xFF, 0x00, 0x56});
    return b;
  }();
  const Bytes good = Jpeg({app0, quant_table, huffman_table, FrameHeader(0xC0), scan, {0xFF, 0xD9}});
  const std::size_t frame_header_at = 2 + app0.size() + quant_table.size() + huffman_table.size();
  const auto cut = [&](std::size_t length) { return Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length)); };
  Bytes random(4096);
  std::mt19937 generator(3);
  for (std::uint8_t& b : random) b = static_cast<std::uint8_t>(generator());
  random[0] = 0xFF;
  random[1] = 0xD8;

  struct Case {
    const char* name;
    Bytes jpeg;
    std::optional<std::pair<int, int>> size;
  };
  const std::optional<std::pair<int, int>> size = std::pair(641, 481);
  const Case cases[] = {
      {"baseline", good, size},
      {"progressive, largest dimensions", Jpeg({app0, FrameHeader(0xC2, 65535, 65535), scan}), std::pair(65535, 65535)},
      {"fill bytes before a marker", Jpeg({app0, {0xFF, 0xFF, 0xFF}, FrameHeader(0xC1), scan}), size},
      {"frame header cut in its dimensions", cut(frame_header_at + 8), std::nullopt},
      {"frame header cut after its dimensions", cut(frame_header_at + 9), std::nullopt},
      {"segment cut in its length", cut(2 + 3), std::nullopt},
      {"only the start of image", cut(2), std::nullopt},
      {"no frame header before the scan", Jpeg({app0, quant_table, huffman_table, scan, FrameHeader(0xC0)}),
       std::nullopt},
      {"end of image before a frame header", Jpeg({app0, {0xFF, 0xD9}, FrameHeader(0xC0)}), std::nullopt},
      {"restart marker before a frame header", Jpeg({{0xFF, 0xD0}, FrameHeader(0xC0)}), std::nullopt},
      {"segment length below 2", Jpeg({{0xFF, 0xE1, 0x00, 0x01}, FrameHeader(0xC0)}), std::nullopt},
      {"segment running past the end", Jpeg({{0xFF, 0xE1, 0x7F, 0xFF, 0x00}, FrameHeader(0xC0)}), std::nullopt},
      {"frame header shorter than its fields", Jpeg({Segment(0xC0, {0x08, 0x01, 0xE1}), app0, app0}), std::nullopt},
      {"bytes between segments", Jpeg({app0, {0x00}, FrameHeader(0xC0)}), std::nullopt},
      {"height given later", Jpeg({FrameHeader(0xC0, 641, 0), scan}), std::nullopt},
      {"no start of image", Bytes(good.begin() + 2, good.end()), std::nullopt},
      {"empty", {}, std::nullopt},
      {"random bytes after a start of image", random, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(JpegPictureSize(c.jpeg), c.size) << c.name;
}

}  // namespace
}  // namespace tessavirn_host
