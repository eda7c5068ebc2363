// The PTZ capability text, its reading from the camera's list reply, and the preset slot table.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ptz/ptz_capabilities.h"

namespace kalmora {
namespace {

TEST(PtzCapabilities, TextFormRoundTripsAndRefusesAnythingElse) {
  struct Row {
    const char* text;
    const char* formatted;  // Format() after Parse; nullptr: Parse fails
  };
  const char* dome = "F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:1";
  const Row rows[] = {
      {dome, dome},
      {"F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:0", "F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:0"},
      // A flag is on only for 1.
      {"F:0; T:0; P:0; Z:0; I:0; Pr:0-2147483647; AF:2; AI:0", "F:0; T:0; P:0; Z:0; I:0; Pr:0-2147483647; AF:0; AI:0"},
      {"", nullptr},
      {"F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1", nullptr},          // eight numbers
      {"F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:1x", nullptr},   // something after the ninth
      {"F:-8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:1", nullptr},   // a sign
      {"F: 8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:1", nullptr},   // a blank before a number
      {"F:8; T:64; P:64; Z:8; I:8; Pr:1-2147483648; AF:1; AI:1", nullptr},
      {"F:8; T:64; P:64; Z:8; I:8; Pr:1-99999999999999999999; AF:1; AI:1", nullptr},
      {"F:8;T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:1", nullptr},
  };
  for (const Row& row : rows) {
    COrvanePtzCapabilities caps;
    EXPECT_EQ(caps.Parse(row.text), row.formatted != nullptr) << row.text;
    if (row.formatted != nullptr) {
      EXPECT_EQ(caps.Format(), row.formatted);
    }
  }
  COrvanePtzCapabilities caps;
  ASSERT_TRUE(caps.Parse("F:8; T:64; P:63; Z:7; I:6; Pr:1-255; AF:1; AI:0"));
  EXPECT_EQ(caps.pan_max, 63u);
  EXPECT_EQ(caps.zoom_max, 7u);
  EXPECT_EQ(caps.last_preset_slot, 255u);
  EXPECT_TRUE(caps.has_auto_focus);
  EXPECT_FALSE(caps.has_auto_iris);
}

TEST(PtzCapabilities, ListReplyNeedsSymmetricRangesOnEveryAxisAndAPresetRange) {
  const std::string axes =
      "Data-1.Ptz-1.Focus=0 rangemin=-8 rangemax=8\r\n"
      "Data-1.Ptz-1.Iris=0 rangemin=-8 rangemax=8\r\n"
      "Data-1.Ptz-1.Pan=0 rangemin=-64 rangemax=64\r\n"
      "Data-1.Ptz-1.Tilt=0 rangemin=-63 rangemax=63\r\n"
      "Data-1.Ptz-1.Zoom=0 rangemin=-7 rangemax=7\r\n";
  const std::string presets = "Data-1.Ptz-1.GoPreset=0 rangemin=1 rangemax=255\r\n";
  const std::string autos = "Data-1.Ptz-1.AutoFocus=On\r\nData-1.Ptz-1.AutoIris=Off\r\n";
  struct Row {
    const char* name;
    std::string reply;
    const char* caps;  // Format() afterwards; nullptr: ParseListResponse fails
  };
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string text = axes;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::vector<Row> rows = {
      {"dome", axes + presets + autos, "F:8; T:63; P:64; Z:7; I:8; Pr:1-255; AF:1; AI:1"},
      {"no automatic modes, keys in lower case", "data-1.ptz-1.focus=0 rangemin=-8 rangemax=8\r\n" +
                                                     axes.substr(axes.find("Data-1.Ptz-1.Iris")) + presets,
       "F:8; T:63; P:64; Z:7; I:8; Pr:1-255; AF:0; AI:0"},
      {"an asymmetric axis", replace("rangemin=-64 rangemax=64", "rangemin=-64 rangemax=63") + presets, nullptr},
      {"an axis without range", replace("Data-1.Ptz-1.Zoom=0 rangemin=-7 rangemax=7", "Data-1.Ptz-1.Zoom=0") + presets,
       nullptr},
      {"an axis missing", replace("Data-1.Ptz-1.Iris=0 rangemin=-8 rangemax=8\r\n", "") + presets, nullptr},
      {"the lowest int as minimum", replace("rangemin=-8 rangemax=8", "rangemin=-2147483648 rangemax=2147483647") + presets,
       nullptr},
      {"no preset range", axes + autos, nullptr},
      {"an empty preset range", axes + "Data-1.Ptz-1.GoPreset=0 rangemin=5 rangemax=5\r\n", nullptr},
  };
  for (const Row& row : rows) {
    COrvanePtzCapabilities caps;
    ASSERT_TRUE(caps.Parse("F:1; T:1; P:1; Z:1; I:1; Pr:1-2; AF:1; AI:1"));
    EXPECT_EQ(caps.ParseListResponse(row.reply), row.caps != nullptr) << row.name;
    EXPECT_EQ(caps.Format(), row.caps != nullptr ? row.caps : "F:0; T:0; P:0; Z:0; I:0; Pr:0-0; AF:0; AI:0")
        << row.name;
  }
  COrvanePtzCapabilities untouched;
  ASSERT_TRUE(untouched.Parse("F:1; T:1; P:1; Z:1; I:1; Pr:1-2; AF:1; AI:1"));
  EXPECT_FALSE(untouched.ParseListResponse(""));
  EXPECT_EQ(untouched.Format(), "F:1; T:1; P:1; Z:1; I:1; Pr:1-2; AF:1; AI:1");
}

TEST(PresetSlotTable, CameraModelsSkipReservedSlotsAndStopAbove245) {
  const auto dome = BuildPresetSlotTable(kDeviceKindPtzCamera, 1, 255);
  ASSERT_EQ(dome.size(), 226u);
  EXPECT_EQ(dome[0], 1u);
  EXPECT_EQ(dome[31], 32u);
  EXPECT_EQ(dome[32], 35u);
  EXPECT_EQ(dome.back(), 245u);
  for (const std::uint32_t reserved : {0u, 33u, 34u, 70u, 77u, 83u, 95u, 96u, 198u}) {
    EXPECT_EQ(std::count(dome.begin(), dome.end(), reserved), 0) << reserved;
  }
  struct Row {
    DeviceKind kind;
    std::uint32_t first, last;
    std::size_t size;
    std::uint32_t front, back;
  };
  const Row rows[] = {
      {kDeviceKindOtherCamera, 1, 16, 16, 1, 16},
      {kDeviceKindServer, 0, 0, 1, 0, 0},
      {kDeviceKindPtzCamera, 0, 0, 0, 0, 0},                      // only a reserved slot
      {kDeviceKindPtzCamera, 246, 300, 0, 0, 0},                  // above 245 only
      {kDeviceKindOtherCamera, 5, 4, 0, 0, 0},                    // first above last
      {kDeviceKindOtherCamera, 4294967290u, 4294967295u, 6, 4294967290u, 4294967295u},  // no wrap
      {kDeviceKindServer, 1, 4294967295u, kMaxPresetSlots, 1, 4096},
  };
  for (const Row& row : rows) {
    const auto table = BuildPresetSlotTable(row.kind, row.first, row.last);
    EXPECT_EQ(table.size(), row.size) << row.first << "-" << row.last;
    if (!table.empty() && row.size != 0) {
      EXPECT_EQ(table.front(), row.front);
      EXPECT_EQ(table.back(), row.back);
    }
  }
}

}  // namespace
}  // namespace kalmora
