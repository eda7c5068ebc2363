#include "camera/device_type.h"

#include <gtest/gtest.h>

#include <string>

namespace kalmora {
namespace {

TEST(ClassifyDeviceType, EmptyIsUndetermined) {
  EXPECT_EQ(ClassifyDeviceType(""), kDeviceKindUndetermined);
}

TEST(ClassifyDeviceType, ServerOrEncoderInAnyCase) {
  for (const char* text : {"Video Server", "ENCODER 4-channel", "Network Video encoder",
                           "PTZ Encoder", "HSD620 Server"}) {
    EXPECT_EQ(ClassifyDeviceType(text), kDeviceKindServer) << text;
  }
}

TEST(ClassifyDeviceType, EveryModelCodeAtStartOrAfterSpace) {
  for (const char* code : {"MD2", "HD2", "MD6", "HD6", "MSD6", "HSD6"}) {
    EXPECT_EQ(ClassifyDeviceType(std::string(code) + "20"), kDeviceKindPtzCamera) << code;
    EXPECT_EQ(ClassifyDeviceType(std::string("Dome ") + code + "10"), kDeviceKindPtzCamera) << code;
  }
}

TEST(ClassifyDeviceType, CodeNotStartingAWordOrWithoutDigitIsOtherCamera) {
  for (const char* text : {"XHD610", "Dome-HD610", "Dome HD6", "Dome HD6X", "Box camera D-220"}) {
    EXPECT_EQ(ClassifyDeviceType(text), kDeviceKindOtherCamera) << text;
  }
}

TEST(ClassifyDeviceType, OnlyFirstOccurrenceOfCodeCounts) {
  EXPECT_EQ(ClassifyDeviceType("HD6X Dome HD610"), kDeviceKindOtherCamera);
  EXPECT_EQ(ClassifyDeviceType("AHD610 Dome HD610"), kDeviceKindOtherCamera);
  // The other codes and the "ptz" test still apply.
  EXPECT_EQ(ClassifyDeviceType("HD6X Dome MD210"), kDeviceKindPtzCamera);
  EXPECT_EQ(ClassifyDeviceType("HD6X Dome HD610 PTZ"), kDeviceKindPtzCamera);
}

TEST(ClassifyDeviceType, PtzInAnyCase) {
  for (const char* text : {"PTZ Dome", "speed dome pTz", "Xptz"}) {
    EXPECT_EQ(ClassifyDeviceType(text), kDeviceKindPtzCamera) << text;
  }
}

TEST(IsPtzModel, TakesLowerCasedText) {
  EXPECT_TRUE(IsPtzModel("network dome hsd620"));
  EXPECT_FALSE(IsPtzModel("network dome hsd6"));
  EXPECT_FALSE(IsPtzModel(""));
}

}  // namespace
}  // namespace kalmora
