// PTZ channels through the built library against the simulated camera: the requests the camera
// receives for each host call, their order while the camera stalls, and the presets in the
// camera's slots and in the preset file across restarts of the driver.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camsim/simulator.h"
#include "child_program.h"
#include "debug_sink.h"
#include "device_config.h"
#include "driver_library.h"
#include "frame_factory.h"
#include "host/ptz.h"

namespace {

using namespace std::chrono_literals;
using kalmora::IIPPTZApiEx;
constexpr auto kWait = 15s;
constexpr std::string_view kSetPrefix = "/params/set.cgi?";

// The preset file lives beside the host's executable, here the test program.
std::string ExecutableFolder() { return std::filesystem::read_symlink("/proc/self/exe").parent_path().string(); }

// A simulated PTZ camera on its own address, and the driver opened for it through the library.
class PtzCamera {
 public:
  PtzCamera(const char* address, const std::string& preset_file, const std::string& profile = "ptz_dome")
      : address_(address), preset_path_(ExecutableFolder() + "/" + preset_file), preset_file_(preset_file) {
    RemoveFiles();
    std::string error;
    EXPECT_TRUE(simulator.LoadProfileFile(std::string(CAMSIM_PROFILE_DIR) + "/" + profile + ".params", &error)) << error;
    EXPECT_TRUE(simulator.Start(address, 0, &error)) << error;
    EXPECT_TRUE(library_.Load(TESSAVIRN_LIBRARY)) << library_.error();
  }
  ~PtzCamera() {
    Close();
    simulator.Stop();
    RemoveFiles();
  }

  // Opens the driver with custom parameters 3 (device type), 8, 9 and 10; the PTZ object or null.
  kalmora::IIPPTZDriverEx* Open(const std::string& capabilities, int channels = 2, const std::string& device_type = "") {
    Close();
    config_.address = address_;
    config_.port = simulator.port();
    config_.custom_parameters = {{1, "5000"}, {2, "0"},           {3, device_type}, {4, ""}, {5, ""}, {6, "0"}, {7, ""},
                                 {8, std::to_string(channels)}, {9, preset_file_}, {10, capabilities}};
    settings_.emplace(config_);
    driver_ = library_.Create();
    if (driver_ == nullptr || !driver_->Open(&sink, &frames_, &*settings_)) return nullptr;
    return driver_->GetPTZDriverEx();
  }
  IIPPTZApiEx* Channel(std::uint32_t channel) {
    kalmora::IIPPTZDriverEx* ptz = driver_ != nullptr ? driver_->GetPTZDriverEx() : nullptr;
    return ptz != nullptr ? ptz->GetPTZApiEx(channel) : nullptr;
  }
  void Close() {
    if (driver_ == nullptr) return;
    driver_->Close();
    library_.Delete(driver_);
    driver_ = nullptr;
  }

  // The queries of the parameter writes the camera answered, in order.
  std::vector<std::string> Writes() const {
    std::vector<std::string> queries;
    for (const auto& record : simulator.RequestLog()) {
      if (record.target.starts_with(kSetPrefix)) queries.push_back(record.target.substr(kSetPrefix.size()));
    }
    return queries;
  }
  // Waits until count writes are answered; all of them.
  std::vector<std::string> WaitForWrites(std::size_t count) const {
    tessavirn_test::WaitFor([&] { return Writes().size() >= count; }, kWait);
    return Writes();
  }

  // The presets of channel index 0 in the file: "PPP NAME KEY" in document order.
  std::vector<std::string> FileEntries() const {
    pugi::xml_document document;
    std::vector<std::string> entries;
    if (!document.load_file(preset_path_.c_str())) return {"(no document)"};
    for (const pugi::xml_node preset : document.child("Orvane").child("PtzChannel01").children()) {
      const std::string name = preset.name();
      entries.push_back(name.substr(std::string_view("Preposition").size()) + " " +
                        preset.child("Name").attribute("value").value() + " " +
                        preset.child("Slot").attribute("value").value());
    }
    return entries;
  }
  const std::string& preset_path() const { return preset_path_; }
  // Custom parameter 9 of the next Open.
  void set_preset_parameter(std::string text) { preset_file_ = std::move(text); }

  camsim::Simulator simulator;
  tessavirn_host::DebugSink sink;

 private:
  void RemoveFiles() const {
    std::error_code ignored;
    std::filesystem::remove(preset_path_, ignored);
    std::filesystem::remove(preset_path_ + ".bad", ignored);
  }

  std::string address_;
  std::string preset_path_;
  std::string preset_file_;
  tessavirn_host::DriverLibrary library_;
  tessavirn_host::FrameFactory frames_;
  tessavirn_host::DeviceConfig config_;
  std::optional<tessavirn_host::DeviceSettings> settings_;
  kalmora::ipcapture::IIPCaptureDriverEx3* driver_ = nullptr;
};

// Speed 16 is each axis's maximum: pan 5, tilt 3, zoom 4, focus 4, iris 2. The camera has
// automatic focus but no automatic iris.
constexpr const char* kCapabilities = "F:4; T:3; P:5; Z:4; I:2; Pr:1-255; AF:1; AI:0";

struct MotionRow {
  const char* what;
  std::function<int(IIPPTZApiEx&)> call;
  std::vector<std::string> writes;  // what the camera receives, in order
};

// One host call after another on the same channel: the manual focus and iris states carry over
// from row to row.
TEST(PtzCamera, EachMotionIsOneParameterWriteInCallOrder) {
  PtzCamera camera("127.0.0.32", "ptz_motion.preset");
  ASSERT_NE(camera.Open(kCapabilities), nullptr);
  IIPPTZApiEx* ptz = camera.Channel(0);
  IIPPTZApiEx* second = camera.Channel(1);
  ASSERT_NE(ptz, nullptr);
  ASSERT_NE(second, nullptr);
  const std::string p1 = "Data-1.Ptz-1.";
  const std::vector<MotionRow> rows = {
      {"up-left", [](auto& c) { return c.StartMove(4, 16); }, {p1 + "Pan=-5&" + p1 + "Tilt=3"}},
      {"speed -1 is the slowest", [](auto& c) { return c.StartMove(0, -1); }, {p1 + "Pan=-1"}},
      {"speed 0 is the slowest", [](auto& c) { return c.StartMove(1, 0); }, {p1 + "Pan=1"}},
      {"speed 17 is the fastest", [](auto& c) { return c.StartMove(1, 17); }, {p1 + "Pan=5"}},
      {"up", [](auto& c) { return c.StartMove(2, 16); }, {p1 + "Tilt=3"}},
      {"down", [](auto& c) { return c.StartMove(3, 16); }, {p1 + "Tilt=-3"}},
      {"up-right", [](auto& c) { return c.StartMove(5, 16); }, {p1 + "Pan=5&" + p1 + "Tilt=3"}},
      {"down-left", [](auto& c) { return c.StartMove(6, 16); }, {p1 + "Pan=-5&" + p1 + "Tilt=-3"}},
      {"first manual focus switches automatic focus off first",
       [](auto& c) { return c.StartFocusPlus(16); },
       {p1 + "AutoFocus=Off", p1 + "Focus=4"}},
      {"second manual focus", [](auto& c) { return c.StartFocusMinus(16); }, {p1 + "Focus=-4"}},
      {"no automatic iris to switch", [](auto& c) { return c.StartIrisPlus(1); }, {p1 + "Iris=1"}},
      {"iris close", [](auto& c) { return c.StartIrisMinus(16); }, {p1 + "Iris=-2"}},
      {"stop: pan and tilt, iris, focus",
       [](auto& c) { return c.Stop(); },
       {p1 + "Pan=0&" + p1 + "Tilt=0", p1 + "Iris=0", p1 + "Focus=0"}},
      {"stop with nothing started", [](auto& c) { return c.Stop(); }, {}},
      {"a move switches automatic focus back on",
       [](auto& c) { return c.StartMove(7, 16); },
       {p1 + "AutoFocus=On", p1 + "Pan=5&" + p1 + "Tilt=-3"}},
      {"zoom in", [](auto& c) { return c.StartZoomPlus(16); }, {p1 + "Zoom=4"}},
      {"unknown direction", [](auto& c) { return c.StartMove(12, 16); }, {""}},
      {"stop: pan and tilt, zoom",
       [](auto& c) { return c.Stop(); },
       {p1 + "Pan=0&" + p1 + "Tilt=0", p1 + "Zoom=0"}},
      {"channel index 1 zooms out", [&](auto&) { return second->StartMove(9, 16); }, {"Data-1.Ptz-2.Zoom=-4"}},
      {"area zoom is not the camera's", [](auto& c) { return c.AreaZoom(1, 2, 3, 4); }, {}},
  };
  std::size_t total = 0;
  for (const MotionRow& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.call(*ptz), 1);
    std::vector<std::string> expected = camera.Writes();
    expected.insert(expected.end(), row.writes.begin(), row.writes.end());
    total += row.writes.size();
    // An unsent command shows as a write too many at the next row.
    EXPECT_EQ(camera.WaitForWrites(total), expected);
  }
  EXPECT_EQ(camera.Writes().size(), total);
}

// A failed switch of automatic focus is not recorded as done: the next manual focus tries again.
TEST(PtzCamera, RefusedAutomaticFocusSwitchIsRetried) {
  PtzCamera camera("127.0.0.33", "ptz_autofocus.preset");
  ASSERT_NE(camera.Open(kCapabilities), nullptr);
  IIPPTZApiEx* ptz = camera.Channel(0);
  ASSERT_NE(ptz, nullptr);
  camera.simulator.AddFault({camsim::FaultKind::kStatus, "params/set.cgi?Data-1.Ptz-1.AutoFocus=Off", 500, 1});
  EXPECT_EQ(ptz->StartFocusPlus(16), 1);
  EXPECT_EQ(ptz->StartFocusPlus(16), 1);
  const std::string p1 = "Data-1.Ptz-1.";
  EXPECT_EQ(camera.WaitForWrites(4), (std::vector<std::string>{p1 + "AutoFocus=Off", p1 + "Focus=4",
                                                               p1 + "AutoFocus=Off", p1 + "Focus=4"}));
}

// While the camera sits on one request, host calls return at once and at most 16 commands wait;
// the oldest moves go first, a waiting stop never. Closing during a stall is prompt.
TEST(PtzCamera, StalledCameraKeepsSixteenCommandsAndEveryStop) {
  PtzCamera camera("127.0.0.34", "ptz_stall.preset");
  ASSERT_NE(camera.Open(kCapabilities), nullptr);
  IIPPTZApiEx* ptz = camera.Channel(0);
  ASSERT_NE(ptz, nullptr);
  camera.simulator.AddFault({camsim::FaultKind::kDelay, "params/set.cgi?Data-1.Ptz-1.Tilt=3", 3000, 1});
  ASSERT_EQ(ptz->StartMove(2, 16), 1);
  // The worker is inside the stalled exchange once the camera has the request.
  ASSERT_TRUE(camera.simulator.WaitForSetRequests(1, kWait));
  ASSERT_EQ(ptz->Stop(), 1);
  // 20 moves: pan speeds 1..5 and directions left/right tell them apart.
  std::vector<std::string> moves;
  for (int i = 0; i < 20; ++i) {
    const int direction = i % 2;
    const int speed = 1 + (i / 2) % 5 * 15 / 4;  // host speeds 1, 4, 8, 12, 16: pan 1..5
    ASSERT_EQ(ptz->StartMove(direction, speed), 1);
    moves.push_back("Data-1.Ptz-1.Pan=" + std::string(direction == 0 ? "-" : "") + std::to_string(1 + (i / 2) % 5));
  }
  // Every call came back while the first request was still unanswered, and nothing else went out.
  EXPECT_TRUE(camera.Writes().empty());
  EXPECT_EQ(camera.simulator.SetRequests().size(), 1u);
  ASSERT_EQ(ptz->Stop(), 1);
  const std::string stop = "Data-1.Ptz-1.Pan=0&Data-1.Ptz-1.Tilt=0";
  std::vector<std::string> expected = {"Data-1.Ptz-1.Tilt=3", stop};
  // Sixteen waited: the first stop, the last 14 moves and the final stop, which pushed out one
  // more move rather than the stop before it.
  expected.insert(expected.end(), moves.end() - 14, moves.end());
  expected.push_back(stop);
  EXPECT_EQ(camera.WaitForWrites(expected.size()), expected);

  // Closing the driver while both channels stall aborts their requests instead of waiting.
  IIPPTZApiEx* second = camera.Channel(1);
  ASSERT_NE(second, nullptr);
  constexpr auto kStall = 60s;
  camera.simulator.AddFault({camsim::FaultKind::kDelay, "params/set.cgi?Data-1.Ptz-*",
                             static_cast<int>(std::chrono::milliseconds(kStall).count()), -1});
  const std::size_t sent = camera.simulator.SetRequests().size();
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(ptz->StartMove(1, 16), 1);
    ASSERT_EQ(second->StartMove(0, 16), 1);
  }
  ASSERT_TRUE(camera.simulator.WaitForSetRequests(sent + 2, kWait));
  const auto begin = std::chrono::steady_clock::now();
  camera.Close();
  // Far below the stall: the close did not wait for the camera.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, kStall / 2);
}

// The preset requests among the camera's writes.
std::vector<std::string> PresetWrites(const PtzCamera& camera) {
  std::vector<std::string> writes;
  for (const std::string& write : camera.Writes()) {
    if (write.find("Preset=") != std::string::npos) writes.push_back(write);
  }
  return writes;
}

std::vector<std::string> Names(IIPPTZApiEx& ptz) {
  std::vector<std::string> names;
  char buffer[64];
  for (int i = 0; i < ptz.GetPresetCount(); ++i) {
    names.push_back(ptz.GetPresetName(i, buffer, sizeof buffer) == 1 ? buffer : "(failed)");
  }
  return names;
}

struct PresetStep {
  const char* what;
  std::function<int(IIPPTZApiEx&)> call;
  int status;
  std::vector<std::string> preset_writes;  // the camera's preset requests this step adds
  std::vector<std::string> file;           // channel 1 of the file afterwards: "PPP NAME KEY"
};

// A camera model with three usable slots, 1 to 3: key k is slot k + 1. Every step is checked on
// the camera and in the file; then a restart of the driver reads the same presets back.
TEST(PtzCamera, PresetsLiveInCameraSlotsAndInTheFile) {
  PtzCamera camera("127.0.0.36", "ptz_presets.preset");
  const std::string capabilities = "F:8; T:64; P:64; Z:8; I:8; Pr:1-3; AF:1; AI:1";
  ASSERT_NE(camera.Open(capabilities, 2, "Fixed Camera"), nullptr);
  IIPPTZApiEx* ptz = camera.Channel(0);
  ASSERT_NE(ptz, nullptr);
  const std::string set = "Data-1.Ptz-1.SetPreset=";
  const std::string go = "Data-1.Ptz-1.GoPreset=";
  const std::string cheese = "K\xC3\xA4se \xC3\xB1";  // non-ASCII survives the UTF-16 file
  const std::vector<PresetStep> steps = {
      {"add", [](auto& c) { return c.AddPreset("Gate"); }, 1, {set + "1"}, {"000 Gate 0"}},
      {"add without moving renames", [](auto& c) { return c.AddPreset("Door"); }, 1, {}, {"000 Door 0"}},
      {"add after a move takes the next key",
       [](auto& c) { return c.StartMove(1, 5) == 1 ? c.AddPreset("Yard") : 0; },
       1,
       {set + "2"},
       {"000 Door 0", "001 Yard 1"}},
      {"recall", [](auto& c) { return c.GoToPreset(0, "Door"); }, 1, {go + "1"}, {"000 Door 0", "001 Yard 1"}},
      {"recall of the current preset sends nothing",
       [](auto& c) { return c.GoToPreset(0, "Door"); },
       1,
       {},
       {"000 Door 0", "001 Yard 1"}},
      {"recall of an unknown name", [](auto& c) { return c.GoToPreset(0, "Nowhere"); }, -23, {},
       {"000 Door 0", "001 Yard 1"}},
      {"add after a move",
       [&](auto& c) { return c.StartMove(0, 5) == 1 ? c.AddPreset(cheese.c_str()) : 0; },
       1,
       {set + "3"},
       {"000 Door 0", "001 Yard 1", "002 " + cheese + " 2"}},
      {"full list", [](auto& c) { return c.StartMove(0, 5) == 1 ? c.AddPreset("Fourth") : 0; }, -26, {},
       {"000 Door 0", "001 Yard 1", "002 " + cheese + " 2"}},
      {"delete the first renumbers the file",
       [](auto& c) { return c.DeletePreset("Door"); },
       1,
       {},
       {"000 Yard 1", "001 " + cheese + " 2"}},
      {"delete of an unknown name", [](auto& c) { return c.DeletePreset("Door"); }, -23, {},
       {"000 Yard 1", "001 " + cheese + " 2"}},
  };
  std::vector<std::string> writes;
  for (const PresetStep& step : steps) {
    SCOPED_TRACE(step.what);
    EXPECT_EQ(step.call(*ptz), step.status);
    writes.insert(writes.end(), step.preset_writes.begin(), step.preset_writes.end());
    // Preset requests are made on the caller's thread: done when the call returns.
    EXPECT_EQ(PresetWrites(camera), writes);
    EXPECT_EQ(camera.FileEntries(), step.file);
  }
  // Invalid names are refused before anything is sent or stored, also with room in the list.
  for (const char* name : {"", "a&b", "no!", "<x>", "it's", "say \"hi\"", "tab\there", "\xFF\xFE", "\xC3"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ptz->AddPreset(name), -1);
  }
  EXPECT_EQ(PresetWrites(camera), writes);
  EXPECT_EQ(Names(*ptz), (std::vector<std::string>{"Yard", cheese}));

  // Rename, then restart: a new driver on the same file has the new name, and a new preset
  // takes the free key 0.
  ASSERT_EQ(ptz->GoToPreset(0, "Yard"), 1);
  ASSERT_EQ(ptz->AddPreset("Garden"), 1);
  EXPECT_EQ(camera.FileEntries(), (std::vector<std::string>{"000 Garden 1", "001 " + cheese + " 2"}));
  ASSERT_NE(camera.Open(capabilities, 2, "Fixed Camera"), nullptr);
  ptz = camera.Channel(0);
  ASSERT_NE(ptz, nullptr);
  EXPECT_EQ(Names(*ptz), (std::vector<std::string>{"Garden", cheese}));
  char current[16];
  EXPECT_EQ(ptz->GetCurrentPresetName(current, sizeof current), -18);
  EXPECT_EQ(ptz->AddPreset("Gate"), 1);
  EXPECT_EQ(PresetWrites(camera).back(), set + "1");
  EXPECT_EQ(camera.FileEntries(), (std::vector<std::string>{"000 Garden 1", "001 " + cheese + " 2", "002 Gate 0"}));
  // A name exactly as long as the buffer has no room for its terminator.
  char four[4];
  EXPECT_EQ(ptz->GetCurrentPresetName(four, sizeof four), -18);
  char five[5];
  EXPECT_EQ(ptz->GetCurrentPresetName(five, sizeof five), 1);
  EXPECT_STREQ(five, "Gate");
  PTZCapabilityRecord record;
  ASSERT_EQ(ptz->GetCapabilities(&record), 1);
  EXPECT_EQ(record.words[7], 3u);
  EXPECT_EQ(record.words[8], 3u);
}

// A preset file that is not XML is kept beside the new one, never overwritten; one that cannot
// be opened leaves channels working without stored presets.
TEST(PtzCamera, BrokenPresetFileIsKeptAndUnusableOneDoesNotStopChannels) {
  PtzCamera camera("127.0.0.37", "ptz_bad.preset");
  const std::string garbage = "<Orvane><PtzChannel01><Preposition000><Name value=\"Gate\"";
  { std::ofstream(camera.preset_path(), std::ios::binary) << garbage; }
  ASSERT_NE(camera.Open(kCapabilities), nullptr);
  IIPPTZApiEx* ptz = camera.Channel(0);
  ASSERT_NE(ptz, nullptr);
  EXPECT_EQ(tessavirn_test::ReadText(camera.preset_path() + ".bad"), garbage);
  EXPECT_EQ(ptz->GetPresetCount(), 0);
  EXPECT_EQ(ptz->AddPreset("Gate"), 1);
  EXPECT_EQ(camera.FileEntries(), (std::vector<std::string>{"000 Gate 0"}));

  // A file that cannot be opened at all (a folder in its place) still gives working controls;
  // their presets just cannot be stored.
  camera.Close();
  std::filesystem::remove(camera.preset_path());
  ASSERT_TRUE(std::filesystem::create_directory(camera.preset_path()));
  ASSERT_NE(camera.Open(kCapabilities), nullptr);
  ptz = camera.Channel(0);
  ASSERT_NE(ptz, nullptr);
  EXPECT_EQ(camera.Channel(0), ptz);
  EXPECT_NE(camera.Channel(1), nullptr);
  EXPECT_FALSE(camera.sink.Find("cannot initialize CXMLPrepositionReader object with parameter").empty());
  EXPECT_EQ(ptz->StartMove(1, 16), 1);
  EXPECT_EQ(ptz->AddPreset("Gate"), -1);
  camera.Close();
  std::filesystem::remove(camera.preset_path());
}

// A camera is a PTZ head without asking; an encoder's channel is one when the camera names a
// protocol file and a camera number from 1 for it.
TEST(PtzCamera, EncoderChannelsArePtzWhenTheCameraSaysSo) {
  PtzCamera camera("127.0.0.39", "ptz_encoder.preset", "encoder_4ch");
  struct Row {
    std::string device_type;
    std::uint32_t channel;
    int enabled;
    std::string request;  // empty: none
    std::string log;      // the end of the entry logged
  };
  const std::vector<Row> rows = {
      {"PTZ Dome", 2, 1, "", ""},
      {"Video Encoder", 0, 1, "/params/get.cgi?Data-1.Ptz-1.CameraProtocolFile&Data-1.Ptz-1.CameraId",
       "data channel 1: Protocol=\"serial_ptz_v2.ptz\", CameraID=1. Current channel is PTZ"},
      {"Video Encoder", 2, 0, "/params/get.cgi?Data-1.Ptz-3.CameraProtocolFile&Data-1.Ptz-3.CameraId",
       "data channel 3: Protocol=\"\", CameraID=3. Current channel is non-PTZ"},
      {"Video Encoder", 3, 0, "/params/get.cgi?Data-1.Ptz-4.CameraProtocolFile&Data-1.Ptz-4.CameraId",
       "data channel 4: Protocol=\"\", CameraID=0. Current channel is non-PTZ"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.device_type + " channel " + std::to_string(row.channel));
    ASSERT_NE(camera.Open(kCapabilities, 4, row.device_type), nullptr);
    IIPPTZApiEx* ptz = camera.Channel(row.channel);
    ASSERT_NE(ptz, nullptr);
    camera.simulator.ClearRequestLog();
    const std::size_t mark = camera.sink.Count();
    EXPECT_EQ(ptz->IsPTZEnabled(), row.enabled);
    std::vector<std::string> targets;
    for (const auto& record : camera.simulator.RequestLog()) targets.push_back(record.target);
    EXPECT_EQ(targets, row.request.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.request});
    const auto entries = camera.sink.EntriesFrom(mark);
    if (!row.log.empty()) {
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_TRUE(entries[0].text.starts_with("PTZ settings for device 127.0.0.39:")) << entries[0].text;
      EXPECT_TRUE(entries[0].text.ends_with(row.log)) << entries[0].text;
    }
  }
}

// Channels below the count each have one control, created once however many host threads ask
// at once; the count itself is out of range. No control without a usable capability text, or
// with a preset file name that is missing or would leave the executable's folder.
TEST(PtzCamera, OneControlPerChannelUnderConcurrentRequests) {
  PtzCamera camera("127.0.0.38", "ptz_handler.preset");
  ASSERT_NE(camera.Open(kCapabilities, 2), nullptr);
  std::vector<IIPPTZApiEx*> seen(8);
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
      threads.emplace_back([&, i] { seen[i] = camera.Channel(static_cast<std::uint32_t>(i % 2)); });
    }
  }
  for (std::size_t i = 0; i < seen.size(); ++i) {
    ASSERT_NE(seen[i], nullptr);
    EXPECT_EQ(seen[i], seen[i % 2]);
  }
  EXPECT_NE(seen[0], seen[1]);
  EXPECT_EQ(camera.Channel(2), nullptr);
  EXPECT_EQ(camera.Channel(0xFFFFFFFFu), nullptr);
  // More channels than the camera's keys can number is a configuration the driver refuses.
  EXPECT_EQ(camera.Open(kCapabilities, 65536), nullptr);
  EXPECT_NE(camera.Open(kCapabilities, 65535), nullptr);
  kalmora::IIPPTZDriverEx* ptz = camera.Open(kCapabilities, 2);
  ASSERT_NE(ptz, nullptr);
  EXPECT_EQ(static_cast<kalmora::IIPPTZDriver*>(ptz)->GetPTZApi(1), ptz->GetPTZApiEx(1));
  // Not a usable capability text: no control, with the reason in the log.
  ASSERT_NE(camera.Open("F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1"), nullptr);
  EXPECT_EQ(camera.Channel(0), nullptr);
  EXPECT_FALSE(camera.sink.Find("PTZ module cannot be created. Incorrect custom parameter value: "
                                "\"F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1\"").empty());
  for (const char* file : {"(none)", "", ".", "..", "../ptz_escape.preset", "sub/ptz.preset"}) {
    SCOPED_TRACE(file);
    camera.set_preset_parameter(file);
    const std::size_t mark = camera.sink.Count();
    ASSERT_NE(camera.Open(kCapabilities), nullptr);
    EXPECT_EQ(camera.Channel(0), nullptr);
    const auto entries = camera.sink.EntriesFrom(mark);
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const tessavirn_host::LogEntry& entry) {
      return entry.text == "kalmora::COrvanePTZHandler::GenerateXMLStorageFileName: operation failed. Invalid "
                           "custom parameter value";
    }));
  }
  EXPECT_FALSE(std::filesystem::exists(ExecutableFolder() + "/../ptz_escape.preset"));
}

}  // namespace
