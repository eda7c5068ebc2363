#include "camsim/parameter_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace camsim {
namespace {

std::vector<std::string> Keys(const std::vector<Parameter>& parameters) {
  std::vector<std::string> keys;
  for (const Parameter& parameter : parameters) keys.push_back(parameter.key);
  return keys;
}

ParameterTree Load(const std::string& text) {
  ParameterTree tree;
  std::string error;
  EXPECT_TRUE(tree.LoadText(text, &error)) << error;
  return tree;
}

TEST(WildcardTest, StarMatchesAnyRunIncludingNone) {
  EXPECT_TRUE(MatchesWildcard("General.Brand*", "General.Brand"));
  EXPECT_TRUE(MatchesWildcard("General.Brand*", "General.Brand.ModelName"));
  EXPECT_TRUE(MatchesWildcard("Cc-1*DeviceName*", "Cc-1.Input-3.DeviceName"));
  EXPECT_TRUE(MatchesWildcard("Cc-1.Udp-1.SourceSelection.Input*S*",
                              "Cc-1.Udp-1.SourceSelection.Input12Status"));
  EXPECT_TRUE(MatchesWildcard("*", ""));
  EXPECT_TRUE(MatchesWildcard("a**b", "ab"));
}

TEST(WildcardTest, LiteralPartsMustAllAppearInOrder) {
  EXPECT_FALSE(MatchesWildcard("General.Brand*", "General.Bran"));
  EXPECT_FALSE(MatchesWildcard("Cc-1*DeviceName*", "Cc-1.Input-3.CcDetectAlarm"));
  EXPECT_FALSE(MatchesWildcard("Data-1.Ptz-*.CameraId", "Data-1.Ptz-1.CameraIdX"));
  // The first candidate for the star fails; matching must retry from a later position.
  EXPECT_TRUE(MatchesWildcard("*.Ptz-1.Pan", "Data-1.Ptz-1.Ptz-1.Pan"));
  EXPECT_FALSE(MatchesWildcard("general.brand*", "General.Brand.ModelName"));
}

TEST(ParameterTreeTest, LoadsValuesWithSpacesAndRangeAnnotations) {
  const ParameterTree tree = Load(
      "# comment\r\n"
      "Video-1.Encoder-4.BitrateMode=Constant bitrate non-drop\r\n"
      "Data-1.Ptz-1.Pan=0 rangemin=-64 rangemax=64\n"
      "Data-1.Ptz-1.GoPreset=0\trangemin=1\trangemax=255\n"
      "\n"
      "Cc-1.Udp-1.SourceSelection.Input2Source=Camera Alarm 3\n"
      "Empty.Value=\n");
  ASSERT_EQ(tree.size(), 5u);
  EXPECT_EQ(tree.Lookup("Video-1.Encoder-4.BitrateMode")->value, "Constant bitrate non-drop");
  const Parameter* pan = tree.Lookup("Data-1.Ptz-1.Pan");
  ASSERT_NE(pan, nullptr);
  EXPECT_EQ(pan->value, "0");
  EXPECT_EQ(pan->range_min, -64);
  EXPECT_EQ(pan->range_max, 64);
  EXPECT_EQ(tree.Lookup("Data-1.Ptz-1.GoPreset")->range_max, 255);
  EXPECT_EQ(tree.Lookup("Cc-1.Udp-1.SourceSelection.Input2Source")->value, "Camera Alarm 3");
  EXPECT_FALSE(tree.Lookup("Cc-1.Udp-1.SourceSelection.Input2Source")->range_min.has_value());
  EXPECT_EQ(tree.Lookup("Empty.Value")->value, "");
  EXPECT_EQ(tree.unknown_key_status(), 200);
}

TEST(ParameterTreeTest, DirectivesSetUnknownStatusAndReadOnlyKeys) {
  const ParameterTree tree = Load(
      "#! unknown-key-status 404\n"
      "#! read-only General.*\n"
      "General.Brand.ModelName=FB-210\n"
      "Network.1.HostName=fb210\n");
  EXPECT_EQ(tree.unknown_key_status(), 404);
  EXPECT_FALSE(tree.IsWritable("General.Brand.ModelName"));
  EXPECT_TRUE(tree.IsWritable("Network.1.HostName"));
  EXPECT_FALSE(tree.IsWritable("Network.1.Unknown"));
}

TEST(ParameterTreeTest, MalformedProfileIsRefusedWithLineAndLeavesTreeUnchanged) {
  ParameterTree tree = Load("A.B=1\n");
  const struct {
    const char* text;
    const char* line;
  } kCases[] = {
      {"A.C=1\nno equals sign\n", "line 2"},
      {"A.C=1\nA.C=2\n", "line 2"},
      {"A.C=1 rangemin=x\n", "line 1"},
      {"A.C=1 rangemin=1 rangemin=2\n", "line 1"},
      {"\n#! frobnicate\n", "line 2"},
      {"#! unknown-key-status 42\n", "line 1"},
      {"A*=1\n", "line 1"},
      {"=1\n", "line 1"},
  };
  for (const auto& test_case : kCases) {
    std::string error;
    EXPECT_FALSE(tree.LoadText(test_case.text, &error)) << test_case.text;
    EXPECT_NE(error.find(test_case.line), std::string::npos) << error;
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree.parameters()[0].key, "A.B");
  }
}

TEST(ParameterTreeTest, FindAnswersKeySubtreeAndWildcardInTreeOrder) {
  const ParameterTree tree = Load(
      "Network.1.MacAddress=00:1B:9D:4E:21:07\n"
      "Network.10.MacAddress=00:1B:9D:4E:21:08\n"
      "Network.1.Attributes.MacAddress=00:1B:9D:4E:21:09\n"
      "Network.1=top\n"
      "Data-1.Ptz-2.CameraId=2\n"
      "Data-1.Ptz-1.CameraId=1\n");
  // A key names itself and everything below it, but not a sibling that extends its last element.
  EXPECT_EQ(Keys(tree.Find("Network.1")),
            (std::vector<std::string>{"Network.1.MacAddress", "Network.1.Attributes.MacAddress",
                                      "Network.1"}));
  EXPECT_EQ(Keys(tree.Find("Network.1.MacAddress")),
            std::vector<std::string>{"Network.1.MacAddress"});
  EXPECT_EQ(Keys(tree.Find("Data-1.Ptz-*.CameraId")),
            (std::vector<std::string>{"Data-1.Ptz-2.CameraId", "Data-1.Ptz-1.CameraId"}));
  EXPECT_EQ(Keys(tree.Find("Network.1*")).size(), 4u);
  EXPECT_TRUE(tree.Find("Network.2").empty());
  EXPECT_TRUE(tree.Find("").empty());
}

TEST(ParameterTreeTest, PutAddsAtTheEndAndRemoveDeletes) {
  ParameterTree tree = Load("A.B=1\nA.C=2\n");
  EXPECT_FALSE(tree.SetValue("A.D", "3"));
  tree.Put("A.D", "3");
  tree.Put("A.B", "9");
  EXPECT_EQ(Keys(tree.Find("A")), (std::vector<std::string>{"A.B", "A.C", "A.D"}));
  EXPECT_EQ(tree.Lookup("A.B")->value, "9");
  EXPECT_TRUE(tree.Remove("A.C"));
  EXPECT_FALSE(tree.Remove("A.C"));
  EXPECT_EQ(Keys(tree.Find("A")), (std::vector<std::string>{"A.B", "A.D"}));
  EXPECT_EQ(tree.Lookup("A.D")->value, "3");
}

TEST(ParameterTreeTest, FormatLineEndsWithCrLfAndSeparatesAnnotationsWithTabs) {
  Parameter parameter{"Data-1.Ptz-1.Zoom", "0", -8, 8, false};
  EXPECT_EQ(ParameterTree::FormatLine(parameter, false), "Data-1.Ptz-1.Zoom=0\r\n");
  EXPECT_EQ(ParameterTree::FormatLine(parameter, true),
            "Data-1.Ptz-1.Zoom=0\trangemin=-8\trangemax=8\r\n");
}

TEST(ParameterTreeTest, LoadFileNamesAMissingFile) {
  ParameterTree tree;
  std::string error;
  EXPECT_FALSE(tree.LoadFile("/nonexistent/camsim.params", &error));
  EXPECT_NE(error.find("/nonexistent/camsim.params"), std::string::npos);
}

}  // namespace
}  // namespace camsim
