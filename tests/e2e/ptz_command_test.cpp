// tessavirn ptz against a PTZ dome simulated in this process: each run's exit status, the
// status it printed and the requests the camera received; presets kept in the preset file from
// one run to the next.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "camsim/simulator.h"
#include "run_command.h"

namespace {

using tessavirn_test::RunCommand;

// A PTZ dome on an address of the test's own, and a preset file of the test's own beside the
// program, where the driver keeps it; both gone at the end.
class PtzCommand : public ::testing::Test {
 protected:
  void Start(const char* address) {
    std::string error;
    ASSERT_TRUE(camera_.LoadProfileFile(std::string(CAMSIM_PROFILE_DIR) + "/ptz_dome.params", &error)) << error;
    ASSERT_TRUE(camera_.Start(address, 0, &error)) << error;
    address_ = address;
  }
  void TearDown() override {
    camera_.Stop();
    std::filesystem::remove(file_);
    std::filesystem::remove(file_.string() + ".bad");
  }
  // The program with the camera's options; PTZ camera slots skip 33 and 34.
  std::string Command(const std::string& channels) const {
    return std::string(TESSAVIRN_PROGRAM) + " ptz --address " + address_ + " --port " +
           std::to_string(camera_.port()) + " --param 3='Dome HSD620' --param 8=" + channels + " --param 9=" +
           file_name_ + " --param 10='F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:1' --hold 2000 ";
  }
  std::vector<std::string> Requests() const {
    std::vector<std::string> targets;
    for (const auto& record : camera_.RequestLog()) targets.push_back(record.target);
    return targets;
  }

  camsim::Simulator camera_;
  std::string address_;
  const std::string file_name_ = "ptz_command_test_" + std::to_string(getpid()) + "_" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".xml";
  const std::filesystem::path file_ = std::filesystem::path(TESSAVIRN_PROGRAM).parent_path() / file_name_;
};

TEST_F(PtzCommand, EachRunReachesTheCameraAndPresetsLastAcrossRuns) {
  Start("127.0.0.180");
  const std::string command = Command("1");
  // Host speeds 1..16 map onto 1..maximum: 16 -> 64 and 8 -> 30 of pan/tilt 64, 4 -> 14; 8 -> 4,
  // 10 -> 5 and 16 -> 8 of zoom, focus and iris 8. Preset keys 0, 1 and 2 are camera slots 1, 2 and 3.
  const std::string set = "/params/set.cgi?Data-1.Ptz-1.";
  const struct {
    const char* args;
    bool refused;  // the camera answers every set with 404
    int exit_code;
    const char* says;
    std::vector<std::string> requests;
  } kRows[] = {
      {"move left 16", false, 0, "StartMove(0, 16): status 1 (done)", {set + "Pan=-64"}},
      {"move downright 8", false, 0, "StartMove(7, 8): status 1 (done)", {set + "Pan=30&Data-1.Ptz-1.Tilt=-30"}},
      {"zoom out 8", false, 0, "StartZoomMinus(8): status 1 (done)", {set + "Zoom=-4"}},
      {"focus near 10", false, 0, "StartFocusMinus(10): status 1 (done)", {set + "AutoFocus=Off", set + "Focus=-5"}},
      {"--stop-after 100 iris open 16", false, 0, "StartIrisPlus(16): status 1 (done)\nStop(): status 1 (done)",
       {set + "AutoIris=Off", set + "Iris=8", set + "Iris=0"}},
      {"stop", false, 0, "Stop(): status 1 (done)", {}},  // a run of its own started nothing to stop
      {"move up 4", true, 1, "the camera did not take the command", {set + "Tilt=14"}},
      {"caps", false, 0, "record words 0-13: 0 1 1 1 1 1 0 226 0 0 0 0 0 0\n", {}},
      {"preset add Gate", false, 0, "AddPreset(\"Gate\"): status 1 (done)", {set + "SetPreset=1"}},
      {"preset add Door", false, 0, "AddPreset(\"Door\"): status 1 (done)", {set + "SetPreset=2"}},
      {"preset list", false, 0, "GetPresetCount(): 2\n0\t1\tGate\n1\t2\tDoor\n", {}},
      // Recalling Gate makes it the current preset, which AddPreset then renames.
      {"preset rename Gate Porch", false, 0, "AddPreset(\"Porch\"): status 1 (done)", {set + "GoPreset=1"}},
      {"preset add Gate", true, 1, "AddPreset(\"Gate\"): status -1 (failed)", {set + "SetPreset=3"}},
      {"preset go Door", false, 0, "GoToPreset(0, \"Door\"): status 1 (done)", {set + "GoPreset=2"}},
      {"preset delete Porch", false, 0, "DeletePreset(\"Porch\"): status 1 (done)", {}},
      {"preset list", false, 0, "GetPresetCount(): 1\n0\t2\tDoor\n", {}},
      {"preset go Porch", false, 1, "status -23 (no such preset or camera refused the recall)", {}},
      {"move sideways 4", false, 2, "unknown word \"sideways\"", {}},
      {"zoom in 4x", false, 2, "SPEED must be a decimal integer", {}},
      {"--param 9= caps", false, 2, "ptz needs --param 9=FILE", {}},
      {"--param 8=0 caps", false, 2, "ptz needs --param 8=N", {}},
      {"preset", false, 2, "A subcommand is required", {}},
      {"--channel 1 caps", false, 1, "no control for PTZ channel 1", {}},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.args);
    camera_.ClearRequestLog();
    if (row.refused) camera_.AddFault({camsim::FaultKind::kStatus, "params/set.cgi*", 404, -1});
    const auto run = RunCommand(command + row.args);
    camera_.ClearFaults();
    EXPECT_EQ(run.exit_code, row.exit_code) << run.output;
    EXPECT_NE(run.output.find(row.says), std::string::npos) << run.output;
    EXPECT_EQ(Requests(), row.requests) << run.output;
  }
}

// A preset file left by an earlier host: each channel lists its own presets with the camera
// slots of the keys the file records, and a recall reaches that slot on the channel's own
// parameters.
TEST_F(PtzCommand, ListsAndRecallsThePresetsOfAFileItDidNotWrite) {
  Start("127.0.0.181");
  {
    std::ofstream out(file_);
    out << "<?xml version=\"1.0\"?>\n<Orvane>\n"
           "<PtzChannel01><Preposition000><Name value=\"Gate\"/><Slot value=\"4\"/></Preposition000></PtzChannel01>\n"
           "<PtzChannel02><Preposition000><Name value=\"Dock\"/><Slot value=\"40\"/></Preposition000>\n"
           "<Preposition001><Name value=\"Yard\"/><Slot value=\"2\"/></Preposition001></PtzChannel02>\n"
           "</Orvane>\n";
  }
  const std::string command = Command("2");
  auto run = RunCommand(command + "--channel 1 preset list");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(run.output.find("GetPresetCount(): 2\n0\t43\tDock\n1\t3\tYard\n"), std::string::npos)
      << run.output;
  run = RunCommand(command + "preset list");
  EXPECT_NE(run.output.find("GetPresetCount(): 1\n0\t5\tGate\n"), std::string::npos) << run.output;
  run = RunCommand(command + "--channel 1 preset go Dock");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(Requests(), std::vector<std::string>{"/params/set.cgi?Data-1.Ptz-2.GoPreset=43"}) << run.output;
}

}  // namespace
