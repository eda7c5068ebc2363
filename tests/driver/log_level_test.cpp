#include "driver/log_level.h"

#include <gtest/gtest.h>

#include "platform/host_core_version.h"

namespace kalmora {
namespace {

constexpr HostCoreVersion V(std::uint16_t major, std::uint16_t minor) { return {major, minor, 0, 0}; }

TEST(MessageLevel, DebugDetailIsNeverForwarded) {
  for (const auto& v : {V(5, 11), V(5, 12), V(6, 3), V(7, 0)}) EXPECT_FALSE(MapMessageLevel(kMsgDebug, v));
}

TEST(MessageLevel, HostsBefore5_12KnowOnlyLevelsUpTo2) {
  EXPECT_EQ(MapMessageLevel(kMsgError, V(5, 11)), 1);
  EXPECT_EQ(MapMessageLevel(kMsgInfo, V(5, 11)), 2);
  EXPECT_EQ(MapMessageLevel(kMsgDriverOpened, V(5, 11)), 2);
  EXPECT_EQ(MapMessageLevel(kMsgDriverOpened, V(4, 99)), 2);
}

TEST(MessageLevel, HostsFrom5_12Before6_3ShowTheOpenNoticeAsInformation) {
  for (const auto& v : {V(5, 12), V(6, 2)}) {
    EXPECT_EQ(MapMessageLevel(kMsgInfo, v), 3);
    EXPECT_EQ(MapMessageLevel(kMsgDriverOpened, v), 3);
    EXPECT_EQ(MapMessageLevel(kMsgError, v), 1);
  }
}

TEST(MessageLevel, HostsFrom6_3TakeTheTypeAsLevel) {
  for (const auto& v : {V(6, 3), V(7, 0)}) {
    EXPECT_EQ(MapMessageLevel(kMsgDriverOpened, v), 100);
    EXPECT_EQ(MapMessageLevel(kMsgInfo, v), 3);
  }
}

TEST(MessageLevel, OtherTypesPassUnchangedWhateverTheHost) {
  EXPECT_EQ(MapMessageLevel(2, V(5, 11)), 2);
  EXPECT_EQ(MapMessageLevel(7, V(5, 11)), 7);
  EXPECT_EQ(MapMessageLevel(0, V(6, 3)), 0);
}

TEST(MessageLevel, WithoutCoreLibraryBehavesAs5_12) {
  EXPECT_EQ(ReadHostCoreVersion("libtessavirn-no-such-core.so"), kDefaultHostCoreVersion);
  EXPECT_EQ(MapMessageLevel(kMsgDriverOpened, kDefaultHostCoreVersion), 3);
}

TEST(HostCoreVersionName, ReadsUpToFourNumbersAfterDotSo) {
  EXPECT_EQ(ParseHostCoreVersion("libbrelkit.so.6.3.0.1"), (HostCoreVersion{6, 3, 0, 1}));
  EXPECT_EQ(ParseHostCoreVersion("/opt/recorder/lib/libbrelkit.so.5.11.2.7"), (HostCoreVersion{5, 11, 2, 7}));
  EXPECT_EQ(ParseHostCoreVersion("libbrelkit.so.6.3"), (HostCoreVersion{6, 3, 0, 0}));
  EXPECT_EQ(ParseHostCoreVersion("libbrelkit.so.7"), (HostCoreVersion{7, 0, 0, 0}));
}

TEST(HostCoreVersionName, NoVersionWhenTheNameCarriesNone) {
  EXPECT_FALSE(ParseHostCoreVersion("libbrelkit.so"));
  EXPECT_FALSE(ParseHostCoreVersion("libbrelkit.so."));
  EXPECT_FALSE(ParseHostCoreVersion("libbrelkit.so.6."));
  EXPECT_FALSE(ParseHostCoreVersion("libbrelkit.so.6.x"));
  EXPECT_FALSE(ParseHostCoreVersion("libbrelkit.so.1.2.3.4.5"));
  EXPECT_FALSE(ParseHostCoreVersion("libbrelkit.so.70000.1"));
  EXPECT_FALSE(ParseHostCoreVersion("/lib.so.6/libbrelkit.so"));
}

}  // namespace
}  // namespace kalmora
