#include "camsim/faults.h"

#include <gtest/gtest.h>

namespace camsim {
namespace {

TEST(FaultTextTest, ParsesEveryField) {
  std::string error;
  const std::optional<Fault> fault = ParseFault("status:params/set.cgi*:503:2", &error);
  ASSERT_TRUE(fault) << error;
  EXPECT_EQ(fault->kind, FaultKind::kStatus);
  EXPECT_EQ(fault->pattern, "params/set.cgi*");
  EXPECT_EQ(fault->value, 503);
  EXPECT_EQ(fault->count, 2);
  EXPECT_EQ(FormatFault(*fault), "status:params/set.cgi*:503:2");
}

TEST(FaultTextTest, OmittedFieldsTakeDefaults) {
  const std::optional<Fault> fault = ParseFault("chunked", nullptr);
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->kind, FaultKind::kChunked);
  EXPECT_EQ(fault->pattern, "*");
  EXPECT_EQ(fault->count, -1);
  const std::optional<Fault> counted = ParseFault("reject-auth:video.jpg::1", nullptr);
  ASSERT_TRUE(counted);
  EXPECT_EQ(counted->kind, FaultKind::kRejectCredentials);
  EXPECT_EQ(counted->value, 0);
  EXPECT_EQ(counted->count, 1);
}

TEST(FaultTextTest, EveryKindNameRoundTrips) {
  for (const char* name :
       {"delay", "stall", "status", "close", "reject-auth", "chunked", "close-delimited",
        "drop"}) {
    const std::optional<FaultKind> kind = ParseFaultKind(name);
    ASSERT_TRUE(kind) << name;
    EXPECT_EQ(FaultKindName(*kind), name);
  }
}

TEST(FaultTextTest, MalformedTextsAreRefusedWithAReason) {
  for (const char* text : {"", "slow", "delay:*:abc", "delay:*:-5", "status:*:42", "status",
                           "delay:*:5:0", "delay:*:5:1:extra"}) {
    std::string error;
    EXPECT_FALSE(ParseFault(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

}  // namespace
}  // namespace camsim
