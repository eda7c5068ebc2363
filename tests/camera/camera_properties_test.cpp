// The two readings of camera text that decide what the host is offered: the firmware version
// and the frame rate list.
#include <gtest/gtest.h>

#include "camera/camera_properties.h"

namespace {

using kalmora::FirmwareVersion;

TEST(CameraProperties, FirmwareVersion) {
  const FirmwareVersion newest{2, 4095, 4095};
  const struct {
    const char* text;
    FirmwareVersion version;
  } rows[] = {
      {"2.6.12", {2, 6, 12}}, {"1.8", {1, 8, 0}},         {"2.6.12-beta", {2, 6, 12}}, {" 3. 1. 4", {3, 1, 4}},
      {"0.9", newest},        {"7", newest},              {"V2.1.3", newest},          {"2.-1.3", newest},
      {"+2.1.3", newest},     {"2.70000.1", newest},      {"2.1.65536", newest},       {"2.1.65535", {2, 1, 65535}},
      {"99999999999", newest}, {"", newest},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(kalmora::ParseFirmwareVersion(row.text), row.version) << '"' << row.text << '"';
  }
}

TEST(CameraProperties, FrameRates) {
  using Rates = std::vector<std::uint32_t>;
  const struct {
    const char* list;
    bool ntsc;
    Rates rates;
  } rows[] = {
      {"30,15,7.5", false, {7, 12, 25}},
      {"30,15,7.5", true, {8, 15, 30}},
      {"25,12.5", false, {13, 25}},  // no 30: not an NTSC list
      {"25,25,x,,-5,0,0.4,1001,1000", false, {25, 1000}},
      {"", false, {}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(kalmora::ParseFrameRates(row.list, row.ntsc), row.rates) << row.list << (row.ntsc ? " NTSC" : " PAL");
  }
}

}  // namespace
