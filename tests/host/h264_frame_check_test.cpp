#include "h264_frame_check.h"

#include <gtest/gtest.h>

#include "annex_b_builder.h"

namespace tessavirn_host {
namespace {

using tessavirn_test::AnnexB;
using tessavirn_test::Bytes;

std::vector<std::uint8_t> Types(const Bytes& b) { return ScanAnnexB(b).nal_types; }

TEST(AnnexBScan, FindsEveryUnitAfterThreeAndFourByteStartCodes) {
  const Bytes b = AnnexB().Nal(7, {0x42}, true).Nal(8, {0xCE}).Nal(5, {0x88, 0x00}, true).Delimiter().bytes();
  const auto scan = ScanAnnexB(b);
  EXPECT_EQ(scan.nal_types, (std::vector<std::uint8_t>{7, 8, 5, 9}));
  EXPECT_TRUE(scan.starts_with_start_code);
  EXPECT_TRUE(scan.ends_with_access_unit_delimiter);
}

TEST(AnnexBScan, EmulationPreventionBytesDoNotMakeStartCodes) {
  // Without the 03 bytes these payloads would hold 00 00 01 65 (an IDR slice) and 00 00 01 67.
  const Bytes b = AnnexB().Nal(1, {0x9A, 0x00, 0x00, 0x03, 0x01, 0x65, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x01, 0x67})
                      .Delimiter()
                      .bytes();
  EXPECT_EQ(Types(b), (std::vector<std::uint8_t>{1, 9}));
  EXPECT_EQ(CheckH264Frame(b, false), 0u);
  EXPECT_EQ(CheckH264Frame(b, true), kH264KeyWithoutSps | kH264KeyWithoutPps);
}

TEST(AnnexBScan, ZeroRunsAndStartCodesAtTheVeryEnd) {
  // Long zero runs before a start code still give one unit; a start code without a header byte
  // after it gives none.
  EXPECT_EQ(Types(AnnexB().Raw({0, 0, 0, 0, 0, 0, 1, 0x65, 0x11}).bytes()), (std::vector<std::uint8_t>{5}));
  EXPECT_EQ(Types(AnnexB().Nal(1).Raw({0x00, 0x00, 0x01}).bytes()), (std::vector<std::uint8_t>{1}));
  EXPECT_EQ(Types(AnnexB().Raw({0x00, 0x01, 0x65, 0x00, 0x02, 0x01}).bytes()), (std::vector<std::uint8_t>{}));
  // A start code straddling the step of the scan's skip.
  EXPECT_EQ(Types(AnnexB().Raw({0x05, 0x05, 0x00, 0x00, 0x01, 0x41, 0x05}).bytes()), (std::vector<std::uint8_t>{1}));
  EXPECT_EQ(Types(AnnexB().Raw({0x05, 0x00, 0x00, 0x01, 0x41}).bytes()), (std::vector<std::uint8_t>{1}));
}

TEST(H264FrameCheck, FramesAsTheDriverDeliversThemPass) {
  EXPECT_EQ(CheckH264Frame(tessavirn_test::KeyFrame(), true), 0u);
  EXPECT_EQ(CheckH264Frame(tessavirn_test::DeltaFrame(), false), 0u);
  // Four-byte start codes throughout, with SEI, and several slices of a picture.
  const Bytes b = AnnexB().Nal(7, {0x64}, true).Nal(8, {0xEE}, true).Nal(6, {0x05}, true).Nal(5, {}, true)
                      .Nal(5, {0x9C}, true).Delimiter().bytes();
  EXPECT_EQ(CheckH264Frame(b, true), 0u);
  // Slices of data partitioning (2 to 4) count as coded slices too.
  EXPECT_EQ(CheckH264Frame(AnnexB().Nal(2).Nal(3).Delimiter().bytes(), false), 0u);
}

TEST(H264FrameCheck, EachMissingPieceIsNamed) {
  EXPECT_EQ(CheckH264Frame(AnnexB().Sps().Pps().Nal(5).bytes(), true), kH264NoTrailingDelimiter);
  // A delimiter with another primary picture type is not the driver's.
  EXPECT_EQ(CheckH264Frame(AnnexB().Nal(1).Raw({0x00, 0x00, 0x01, 0x09, 0x10}).bytes(), false),
            kH264NoTrailingDelimiter);
  EXPECT_EQ(CheckH264Frame(AnnexB().Raw({0xFF}).Raw(tessavirn_test::DeltaFrame()).bytes(), false), kH264NoStartCode);
  EXPECT_EQ(CheckH264Frame(AnnexB().Sps().Pps().Delimiter().bytes(), false), kH264NoSlice);
  EXPECT_EQ(CheckH264Frame(AnnexB().Pps().Nal(5).Delimiter().bytes(), true), kH264KeyWithoutSps);
  EXPECT_EQ(CheckH264Frame(AnnexB().Sps().Nal(5).Delimiter().bytes(), true), kH264KeyWithoutPps);
  // A delta frame needs no parameter sets; a key frame type on it does.
  EXPECT_EQ(CheckH264Frame(tessavirn_test::DeltaFrame(), true), kH264KeyWithoutSps | kH264KeyWithoutPps);
}

TEST(H264FrameCheck, EmptyAndTinyBuffersFailEverything) {
  EXPECT_EQ(CheckH264Frame({}, false), kH264Empty | kH264NoStartCode | kH264NoTrailingDelimiter | kH264NoSlice);
  EXPECT_EQ(CheckH264Frame({}, true), kH264Empty | kH264NoStartCode | kH264NoTrailingDelimiter | kH264NoSlice |
                                          kH264KeyWithoutSps | kH264KeyWithoutPps);
  const Bytes start_only = {0x00, 0x00, 0x01};
  EXPECT_EQ(CheckH264Frame(start_only, false), kH264NoTrailingDelimiter | kH264NoSlice);
  // The delimiter alone starts and ends right but carries no picture.
  EXPECT_EQ(CheckH264Frame(AnnexB().Delimiter().bytes(), false), kH264NoSlice);
}

TEST(H264FrameCheck, ProblemsReadAsText) {
  EXPECT_EQ(DescribeH264Problems(0), "");
  EXPECT_EQ(DescribeH264Problems(kH264NoTrailingDelimiter | kH264KeyWithoutPps),
            "no access unit delimiter at the end; key frame without a picture parameter set");
}

}  // namespace
}  // namespace tessavirn_host
