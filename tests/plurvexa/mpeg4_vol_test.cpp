#include "mpeg4_vol.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace plurvexa {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Field {
  std::uint32_t value;
  unsigned bits;
};

// Start code bytes, then the fields most significant bit first, then 0 bits to the byte end.
Bytes Build(const Bytes& start, const std::vector<Field>& fields) {
  Bytes out = start;
  unsigned used = 8;  // bits taken in out.back(); 8 starts a new byte
  for (const Field& field : fields) {
    for (unsigned i = field.bits; i-- > 0;) {
      if (used == 8) {
        out.push_back(0);
        used = 0;
      }
      out.back() = static_cast<std::uint8_t>(out.back() | (((field.value >> i) & 1u) << (7 - used)));
      ++used;
    }
  }
  return out;
}

const Bytes kVolStart = {0x00, 0x00, 0x01, 0x20};
const Field kMarker = {1, 1};
const std::vector<Field> kSimpleHead = {
    {0, 1},  // random_accessible_vol
    {1, 8},  // video_object_type_indication: simple object
    {0, 1},  // is_object_layer_identifier
    {1, 4},  // aspect_ratio_info: square
    {0, 1},  // vol_control_parameters
};

std::vector<Field> Join(std::initializer_list<std::vector<Field>> parts) {
  std::vector<Field> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Shape rectangular, resolution `resolution`, fixed_vop_rate and its increment if `fixed_bits`.
std::vector<Field> Tail(std::uint32_t resolution, unsigned fixed_bits, std::uint32_t width,
                        std::uint32_t height) {
  std::vector<Field> tail = {{0, 2}, kMarker, {resolution, 16}, kMarker};
  tail.push_back({fixed_bits != 0 ? 1u : 0u, 1});  // fixed_vop_rate
  // The increment all ones, so a wrong width puts 1 bits into the size.
  if (fixed_bits != 0) tail.push_back({(1u << fixed_bits) - 1, fixed_bits});
  for (const Field& field : {kMarker, Field{width, 13}, kMarker, Field{height, 13}, kMarker}) {
    tail.push_back(field);
  }
  return tail;
}

struct Row {
  const char* label;
  Bytes bytes;
  bool parsed;
  std::uint16_t width;
  std::uint16_t height;
};

std::vector<Row> Rows() {
  return {
      {"640x480 simple profile", Build(kVolStart, Join({kSimpleHead, Tail(30000, 0, 640, 480)})),
       true, 640, 480},
      {"vol_control_parameters with vbv_parameters",
       Build(kVolStart,
             Join({{{0, 1}, {1, 8}, {0, 1}, {1, 4},
                    {1, 1},  // vol_control_parameters
                    {1, 2},  // chroma_format 4:2:0
                    {1, 1},  // low_delay
                    {1, 1},  // vbv_parameters
                    {0, 15}, kMarker, {0x7FFF, 15}, kMarker,  // bit rate halves
                    {0, 15}, kMarker, {7, 3},                 // vbv buffer size halves
                    {0, 11}, kMarker, {0x7FFF, 15}, kMarker}, // vbv occupancy halves
                   Tail(30000, 0, 704, 576)})),
       true, 704, 576},
      {"extended pixel aspect ratio",
       Build(kVolStart, Join({{{0, 1}, {1, 8}, {0, 1},
                               {0xF, 4},              // aspect_ratio_info: extended
                               {0xFF, 8}, {0xFF, 8},  // par_width, par_height
                               {0, 1}},
                              Tail(25, 0, 176, 144)})),
       true, 176, 144},
      {"is_object_layer_identifier",
       Build(kVolStart, Join({{{1, 1}, {4, 8},
                               {1, 1},  // is_object_layer_identifier
                               {0xF, 4}, {0x7, 3},  // verid, priority
                               {1, 4}, {0, 1}},
                              Tail(30000, 0, 1280, 720)})),
       true, 1280, 720},
      {"fixed_vop_rate, resolution 30000: 15-bit increment",
       Build(kVolStart, Join({kSimpleHead, Tail(30000, 15, 640, 480)})), true, 640, 480},
      {"fixed_vop_rate, resolution 25: 5-bit increment",
       Build(kVolStart, Join({kSimpleHead, Tail(25, 5, 352, 288)})), true, 352, 288},
      {"fixed_vop_rate, resolution 1: 1-bit increment",
       Build(kVolStart, Join({kSimpleHead, Tail(1, 1, 352, 288)})), true, 352, 288},
      {"VOL after visual object sequence and video object headers",
       Build({0x00, 0x00, 0x01, 0xB0, 0x01,                 // visual object sequence
              0x00, 0x00, 0x01, 0xB5, 0x09,                 // visual object
              0x00, 0x00, 0x01, 0x00,                       // video object
              0x00, 0x00, 0x01, 0x2F},                      // video object layer, last code
             Join({kSimpleHead, Tail(30000, 0, 800, 600)})),
       true, 800, 600},
      // An FFmpeg mpeg4 encoding of testsrc at 352x288 and 25 fps, cut after the VOL's final
      // marker: verid 2, priority 1, vol_control_parameters without vbv_parameters.
      {"encoder output 352x288",
       {0x00, 0x00, 0x01, 0xB0, 0x01,              // visual object sequence
        0x00, 0x00, 0x01, 0xB5, 0x89, 0x13,        // visual object
        0x00, 0x00, 0x01, 0x00,                    // video object
        0x00, 0x00, 0x01, 0x20, 0x00, 0xC4, 0x8D,  // video object layer
        0x88, 0x00, 0xCD, 0x0B, 0x04, 0x24, 0x14},
       true, 352, 288},
      {"binary shape",
       Build(kVolStart, Join({kSimpleHead, {{1, 2}}, {kMarker, {30000, 16}, kMarker, {0, 1}}})),
       false, 0, 0},
      {"grayscale shape",
       Build(kVolStart, Join({kSimpleHead, {{3, 2}}, Tail(30000, 0, 640, 480)})), false, 0, 0},
      {"time increment resolution 0",
       Build(kVolStart, Join({kSimpleHead, Tail(0, 0, 640, 480)})), false, 0, 0},
      {"width 0", Build(kVolStart, Join({kSimpleHead, Tail(30000, 0, 0, 480)})), false, 0, 0},
      {"no VOL start code: 00 00 01 30",
       Build({0x00, 0x00, 0x01, 0x30}, Join({kSimpleHead, Tail(30000, 0, 640, 480)})), false, 0,
       0},
  };
}

TEST(Mpeg4VolTest, Headers) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.label);
    std::uint16_t width = 1;
    std::uint16_t height = 1;
    ASSERT_EQ(ParseVolSize(row.bytes.data(), row.bytes.size(), width, height), row.parsed);
    if (row.parsed) {
      EXPECT_EQ(width, row.width);
      EXPECT_EQ(height, row.height);
    }
  }
}

// Every parsed row ends with the byte holding the final marker: each shorter prefix fails. Each
// prefix sits in a buffer of its own size, so a sanitizer build sees any read past it.
TEST(Mpeg4VolTest, TruncatedHeadersFail) {
  for (const Row& row : Rows()) {
    if (!row.parsed) continue;
    SCOPED_TRACE(row.label);
    for (std::size_t cut = 0; cut < row.bytes.size(); ++cut) {
      const Bytes prefix(row.bytes.begin(), row.bytes.begin() + static_cast<long>(cut));
      std::uint16_t width = 0;
      std::uint16_t height = 0;
      EXPECT_FALSE(ParseVolSize(prefix.empty() ? nullptr : prefix.data(), prefix.size(), width,
                                height))
          << "cut at " << cut;
    }
  }
}

TEST(Mpeg4VolTest, LibraryEntryPoint) {
  void* library = dlopen(PLURVEXA_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  using ParseFn = int (*)(const std::uint8_t*, const std::uint8_t*, std::uint32_t,
                          std::uint16_t*, std::uint16_t*);
  const auto parse = reinterpret_cast<ParseFn>(dlsym(library, "ParseMpegHeader"));
  ASSERT_NE(parse, nullptr);
  EXPECT_EQ(dlsym(library, "_ZN8plurvexa12ParseVolSizeEPKhmRtS2_"), nullptr);  // not exported
  const Bytes header = Build(kVolStart, Join({kSimpleHead, Tail(30000, 0, 640, 480)}));
  const auto length = static_cast<std::uint32_t>(header.size());
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  EXPECT_EQ(parse(header.data(), header.data(), length, &width, &height), 1);
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 480);
  EXPECT_EQ(parse(header.data(), header.data(), length - 3, &width, &height), 0);
  EXPECT_EQ(parse(nullptr, nullptr, length, &width, &height), 0);
  EXPECT_EQ(parse(header.data(), header.data(), length, nullptr, &height), 0);
  EXPECT_EQ(parse(header.data(), header.data(), length, &width, nullptr), 0);
  dlclose(library);
}

}  // namespace
}  // namespace plurvexa
