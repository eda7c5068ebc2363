// Alarm inputs and relay outputs: the keys an alarm input writes, the log of output writes as
// they arrive, and /camsim/io.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "simulator_fixture.h"

namespace camsim_test {
namespace {

using Values = std::map<std::string, std::string>;

// The keys of after whose values differ from before's, with their new values.
Values Changed(const camsim::ParameterTree& before, const camsim::ParameterTree& after) {
  Values changed;
  for (const camsim::Parameter& p : after.parameters()) {
    if (before.Lookup(p.key)->value != p.value) changed[p.key] = p.value;
  }
  return changed;
}

// Input 1 in all three key forms beside input 10's keys, which begin like them.
constexpr const char* kMixedProfile =
    "Cc-1.Input-1.CcDetectAlarm=-\nCc-1.Input-10.CcDetectAlarm=-\nData-1.Status.CameraAlarm1=-\n"
    "Cc-1.Udp-1.SourceSelection.Input1Source=Camera Alarm 10\n"
    "Cc-1.Udp-1.SourceSelection.Input1Status=False\n"
    "Cc-1.Udp-1.SourceSelection.Input2Source=Camera Alarm 1\n"
    "Cc-1.Udp-1.SourceSelection.Input2Status=False\n";

TEST(AlarmInputTest, WritesEveryKeyTheProfileHoldsForTheInput) {
  const struct {
    const char* profile;  // nullptr: kMixedProfile
    unsigned input;
    Values active;  // what going active changes; going inactive restores the profile's values
  } kRows[] = {
      {"encoder_4ch", 3, {{"Cc-1.Input-3.CcDetectAlarm", "ON"}}},
      {"ptz_dome", 2, {{"Data-1.Status.CameraAlarm2", "ON"}}},
      {"old_firmware", 2, {{"Cc-1.Udp-1.SourceSelection.Input4Status", "True"}}},
      {"old_firmware", 3, {}},  // entry 3 is motion
      {nullptr, 0, {}},
      {nullptr, 1, {{"Cc-1.Input-1.CcDetectAlarm", "ON"}, {"Data-1.Status.CameraAlarm1", "ON"},
                    {"Cc-1.Udp-1.SourceSelection.Input2Status", "True"}}},
  };
  for (const auto& row : kRows) {
    const std::string label =
        std::string(row.profile ? row.profile : "mixed") + " input " + std::to_string(row.input);
    camsim::Simulator simulator;
    ASSERT_TRUE(row.profile ? simulator.LoadProfileFile(ProfilePath(row.profile), nullptr)
                            : simulator.LoadProfileText(kMixedProfile, nullptr));
    const camsim::ParameterTree before = simulator.Tree();
    EXPECT_EQ(simulator.SetAlarmInput(row.input, true), int(row.active.size())) << label;
    EXPECT_EQ(Changed(before, simulator.Tree()), row.active) << label;
    EXPECT_EQ(simulator.SetAlarmInput(row.input, false), int(row.active.size())) << label;
    EXPECT_EQ(Changed(before, simulator.Tree()), Values{}) << label;
  }
}

using IoTest = SimulatorTest;

TEST_F(IoTest, OutputItemsAreLoggedInArrivalOrderWhateverTheAnswer) {
  StartWith("ptz_dome", "127.0.0.43");  // which has no Cc-1.Output-1
  HttpTestClient client;
  client.Get(Url("/params/set.cgi?Data-1.Ptz-1.Zoom=4&Data-1.Status.AuxOut1=On&"
                 "Cc-1.Output-1.OperationalMode=In%76ert"));
  // Near misses of both shapes, and an admin write.
  client.Get(Url("/params/set.cgi?Cc-1.Output-.OperationalMode=Invert&Data-1.Status.AuxOut=On&"
                 "Cc-1.Output-1a.OperationalMode=Invert&Data-1.Status.AuxOut1x=On&"
                 "Cc-1.Output-1.DeviceName=x&Data-1.Status.AuxOut2"));
  client.Get(Url("/camsim/params?Data-1.Status.AuxOut1=On"));
  simulator_.AddFault({camsim::FaultKind::kStatus, "params/set.cgi?Data-1.Status*", 404, 1});
  EXPECT_EQ(client.Get(Url("/params/set.cgi?Data-1.Status.AuxOut1=Off")).status, 404);
  simulator_.AddFault({camsim::FaultKind::kDrop, "params/set.cgi?Cc-1*", 0, 1});
  // A fresh connection: libcurl repeats a request once when a reused one closes unanswered.
  HttpTestClient dropped;
  EXPECT_EQ(dropped.Get(Url("/params/set.cgi?Cc-1.Output-2.OperationalMode=Normal")).code,
            CURLE_GOT_NOTHING);
  EXPECT_EQ(simulator_.RequestLog().back().status, 0);

  std::string seen;
  const std::vector<camsim::OutputWrite> writes = simulator_.OutputWrites();
  for (std::size_t i = 0; i < writes.size(); ++i) {
    seen += std::to_string(writes[i].sequence) + " " + writes[i].key + "=" + writes[i].value + ";";
    EXPECT_GE(writes[i].arrived, writes[i > 0 ? i - 1 : 0].arrived) << i;
  }
  EXPECT_EQ(seen,
            "1 Data-1.Status.AuxOut1=On;2 Cc-1.Output-1.OperationalMode=Invert;"
            "3 Data-1.Status.AuxOut1=Off;4 Cc-1.Output-2.OperationalMode=Normal;");
}

TEST_F(IoTest, AdminPathSetsInputsListsKeysAndWritesAndClears) {
  StartWith("encoder_4ch", "127.0.0.44");
  HttpTestClient client;
  client.Get(Url("/params/set.cgi?Cc-1.Output-2.OperationalMode=Invert"));
  const std::string listing = client.Get(Url("/camsim/io?input2=active&input4=active")).body;
  // The write's milliseconds since start vary; everything else is fixed.
  const std::size_t ms_at = listing.find("write\t1\t") + 8;
  const std::size_t ms_end = listing.find('\t', ms_at);
  ASSERT_NE(ms_end, std::string::npos) << listing;
  EXPECT_GT(ms_end, ms_at) << listing;
  EXPECT_EQ(listing.substr(0, ms_at) + "MS" + listing.substr(ms_end),
            "Cc-1.Input-1.CcDetectAlarm=-\r\nCc-1.Input-2.CcDetectAlarm=ON\r\n"
            "Cc-1.Input-3.CcDetectAlarm=-\r\nCc-1.Input-4.CcDetectAlarm=ON\r\n"
            "Cc-1.Output-1.OperationalMode=Normal\r\nCc-1.Output-2.OperationalMode=Invert\r\n"
            "write\t1\tMS\tCc-1.Output-2.OperationalMode=Invert\r\n");
  EXPECT_EQ(client.Get(Url("/params/get.cgi?Cc-1.Input-2.*")).body,
            "Cc-1.Input-2.DeviceName=Alarm input 2\r\nCc-1.Input-2.CcDetectAlarm=ON\r\n");
  for (const char* query : {"input0=active", "input1=on", "input=active", "input1", "clear=1",
                            "input1=active&input5=active"}) {
    EXPECT_EQ(client.Get(Url(std::string("/camsim/io?") + query)).status, 400) << query;
  }
  EXPECT_EQ(simulator_.GetParameter("Cc-1.Input-1.CcDetectAlarm"), "-");
  EXPECT_EQ(client.Get(Url("/camsim/io?input4=inactive&clear")).body.find("write"),
            std::string::npos);
  EXPECT_EQ(simulator_.GetParameter("Cc-1.Input-4.CcDetectAlarm"), "-");
  EXPECT_TRUE(simulator_.OutputWrites().empty());
  EXPECT_EQ(simulator_.RequestLog().size(), 2u);  // admin requests are not logged
}

}  // namespace
}  // namespace camsim_test
