// The source filter: which SSRC a session takes packets from (RFC 3550 appendix A.1).
#include "streaming/rtp_source_filter.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace kalmora {
namespace {

constexpr std::uint32_t kCamera = 0xCA3E0001;
constexpr std::uint32_t kRestarted = 0xCA3E0002;
constexpr std::uint32_t kForeign = 0x0BADF00D;

// One packet and whether the filter takes it; kLock rows lock the filter instead (the SETUP
// reply's "ssrc=").
struct Step {
  std::uint32_t ssrc;
  std::uint16_t number;
  bool accepted;
  bool lock = false;
};
struct FilterCase {
  const char* label;
  std::vector<Step> steps;
  std::optional<std::uint32_t> stream;
};

Step Lock(std::uint32_t ssrc) { return {ssrc, 0, true, true}; }

TEST(RtpSourceFilterTest, LocksOntoOneSourceAndLetsARestartedStreamTakeOver) {
  const FilterCase kCases[] = {
      {"the first packet's source is the stream's", {{kCamera, 7, true}, {kForeign, 8, false}, {kCamera, 8, true}},
       kCamera},
      {"a foreign source is dropped however many packets it sends out of sequence",
       {{kCamera, 1, true}, {kForeign, 10, false}, {kForeign, 12, false}, {kForeign, 14, false},
        {kForeign, 16, false}, {kForeign, 18, false}, {kCamera, 2, true}},
       kCamera},
      {"four in-sequence packets of a new source take over",
       {{kCamera, 1, true}, {kRestarted, 65534, false}, {kRestarted, 65535, false}, {kRestarted, 0, false},
        {kRestarted, 1, true}, {kRestarted, 2, true}, {kCamera, 2, false}},
       kRestarted},
      {"a packet of the locked source in between restarts the probation",
       {{kCamera, 1, true}, {kRestarted, 50, false}, {kRestarted, 51, false}, {kRestarted, 52, false},
        {kCamera, 2, true}, {kRestarted, 53, false}, {kRestarted, 54, false}, {kRestarted, 55, false},
        {kRestarted, 56, true}},
       kRestarted},
      {"two foreign sources interleaved never take over",
       {{kCamera, 1, true}, {kForeign, 10, false}, {kRestarted, 11, false}, {kForeign, 11, false},
        {kRestarted, 12, false}, {kForeign, 12, false}, {kRestarted, 13, false}, {kForeign, 13, false}},
       kCamera},
      {"a lock before the first packet wins over it",
       {Lock(kCamera), {kForeign, 1, false}, {kCamera, 9, true}}, kCamera},
      {"a lock moves the stream and ends a probation",
       {{kForeign, 1, true}, {kCamera, 20, false}, {kCamera, 21, false}, Lock(kCamera), {kCamera, 22, true},
        {kForeign, 2, false}},
       kCamera},
  };
  for (const FilterCase& c : kCases) {
    CRtpSourceFilter filter;
    EXPECT_FALSE(filter.StreamSsrc().has_value()) << c.label;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      if (step.lock) {
        filter.Lock(step.ssrc);
        continue;
      }
      EXPECT_EQ(filter.Accept(step.ssrc, step.number), step.accepted) << c.label << ", step " << i;
    }
    EXPECT_EQ(filter.StreamSsrc(), c.stream) << c.label;
    filter.Reset();
    EXPECT_FALSE(filter.StreamSsrc().has_value()) << c.label;
    EXPECT_TRUE(filter.Accept(kForeign, 1)) << c.label << ": after a reset the next source is the stream's";
  }
}

}  // namespace
}  // namespace kalmora
