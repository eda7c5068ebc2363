// The capability query through the built library against the simulated camera: what reaches
// the host's result objects for each kind of camera, and how the four exports behave while a
// camera stalls.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camsim/simulator.h"
#include "host/capability_query.h"

namespace {

using namespace std::chrono_literals;
using namespace kalmora::ipcapture;

// The four exports, resolved from the library as a host resolves them.
struct QueryExports {
  QueryExports() {
    handle = dlopen(TESSAVIRN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(handle, nullptr) << dlerror();
    init = reinterpret_cast<InitCapabilityQueryFn>(dlsym(handle, "InitCapabilityQuery"));
    start = reinterpret_cast<StartCapabilityQueryFn>(dlsym(handle, "StartCapabilityQuery"));
    terminate = reinterpret_cast<TerminateCapabilityQueryFn>(dlsym(handle, "TerminateCapabilityQuery"));
    uninit = reinterpret_cast<UninitCapabilityQueryFn>(dlsym(handle, "UninitCapabilityQuery"));
  }
  void* handle;
  InitCapabilityQueryFn init;
  StartCapabilityQueryFn start;
  TerminateCapabilityQueryFn terminate;
  UninitCapabilityQueryFn uninit;
};

// The host side: every call on the sink and the result objects, in order, as one text each.
class RecordingHost final : public ICapabilityQuerySink, public ICapabilityResults, public IResolutionList,
                            public IFrameIntervalList {
 public:
  RecordingHost() {
    for (int i = 1; i <= 4; ++i) fields_.emplace_back(this, "field " + std::to_string(i));
    for (int i = 1; i <= 14; ++i) parameters_.emplace_back(this, i);
  }

  void Reserved2() override {}
  void Completed() override { Finish("completed"); }
  void Failed(std::int32_t code, const char* message) override {
    Finish("failed " + std::to_string(code) + " " + message);
  }
  void SetCapability(std::int32_t id, std::int32_t value) override {
    Record("cap " + std::to_string(id) + "=" + std::to_string(value));
  }
  void SetModelName(const char* name) override { Record(std::string("model ") + name); }
  IResultText* GetConnectionField(std::int32_t index) override {
    return index >= 1 && index <= 4 ? &fields_[static_cast<std::size_t>(index - 1)] : nullptr;
  }
  void Reserved5() override {}
  IResultParameter* GetParameter(std::int32_t index) override {
    return index >= 1 && index <= 14 ? &parameters_[static_cast<std::size_t>(index - 1)] : nullptr;
  }
  IResolutionList* GetResolutionList() override { return this; }
  void Reserved8() override {}
  IFrameIntervalList* GetFrameIntervalList(std::int32_t) override { return this; }
  void Add(const char* name, std::int32_t width, std::int32_t height, std::int32_t interval) override {
    Record(std::string("resolution ") + name + " " + std::to_string(width) + " " + std::to_string(height) + " " +
           std::to_string(interval));
  }
  void SetDefault(std::uint32_t ms) override { Record("default interval " + std::to_string(ms)); }
  void Add(std::uint32_t ms) override { Record("interval " + std::to_string(ms)); }

  // The latest outcome line ("completed", "failed 3 ..."), once there are count of them; empty
  // when they did not all come within the wait.
  std::string WaitOutcome(int count = 1, std::chrono::milliseconds wait = 20s) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, wait, [&] { return outcome_count_ >= count; }) ? outcome_ : std::string();
  }
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  int outcomes() {
    std::lock_guard lock(mutex_);
    return outcome_count_;
  }
  // Value of custom parameter index as published, with its name and kind: "name|kind|value".
  std::string Parameter(int index) { return Find("param " + std::to_string(index) + " "); }
  std::string Find(const std::string& prefix) {
    for (const auto& call : calls()) {
      if (call.rfind(prefix, 0) == 0) return call.substr(prefix.size());
    }
    return {};
  }

 private:
  struct Field final : IResultText {
    Field(RecordingHost* h, std::string n) : host(h), name(std::move(n)) {}
    void SetText(const char* text) override { host->Record(name + " " + text); }
    RecordingHost* host;
    std::string name;
  };
  // Collects name, option and kind, and records the whole parameter when its value arrives.
  struct ParameterSlot final : IResultParameter {
    ParameterSlot(RecordingHost* h, int i) : host(h), index(i) {}
    void SetValue(const char* value) override {
      host->Record("param " + std::to_string(index) + " " + name + "|" + std::to_string(kind) + "|" + value +
                   (option == 0 ? "" : "|option"));
    }
    void Reserved3() override {}
    void Reserved4() override {}
    void SetKind(std::int32_t k) override { kind = k; }
    void SetName(const char* n) override { name = n; }
    void SetOption(std::int32_t o) override { option = o; }
    RecordingHost* host;
    int index;
    std::string name;
    std::int32_t kind = -1;
    std::int32_t option = -1;
  };

  void Record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  void Finish(std::string outcome) {
    if (on_outcome) on_outcome();
    std::lock_guard lock(mutex_);
    ++outcome_count_;
    outcome_ = std::move(outcome);
    done_.notify_all();
  }

 public:
  // Runs on the query's thread inside Completed and Failed, as a host's own reaction would.
  std::function<void()> on_outcome;

 private:

  std::vector<Field> fields_;
  std::vector<ParameterSlot> parameters_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::vector<std::string> calls_;
  std::string outcome_;
  int outcome_count_ = 0;
};

class Camera {
 public:
  Camera(const char* address, const std::string& profile) {
    std::string error;
    EXPECT_TRUE(simulator.LoadProfileFile(std::string(CAMSIM_PROFILE_DIR) + "/" + profile + ".params", &error))
        << error;
    EXPECT_TRUE(simulator.Start(address, 0, &error)) << error;
  }
  ~Camera() { simulator.Stop(); }
  camsim::Simulator simulator;
};

// Runs one whole query against camera and returns the host's record.
void Probe(QueryExports& lib, Camera& camera, RecordingHost& host, bool ntsc = false) {
  ASSERT_EQ(lib.init(&host, ntsc ? 1 : 0), 1);
  ASSERT_EQ(lib.start(camera.simulator.address().c_str(), camera.simulator.port(), "", nullptr, &host), 1);
  host.WaitOutcome();
  EXPECT_EQ(lib.uninit(), 1);
}

TEST(CapabilityQuery, PtzDomePublishesEverythingInOrder) {
  QueryExports lib;
  Camera camera("127.0.0.53", "ptz_dome");
  RecordingHost host;
  Probe(lib, camera, host);
  const std::string port = std::to_string(camera.simulator.port());
  EXPECT_EQ(host.calls(), (std::vector<std::string>{
                              "model Orvane HSD620",
                              "cap 11=1",
                              "cap 12=1",
                              "cap 0=1",
                              "cap 2=2",
                              "cap 3=1",
                              "cap 1=1",
                              "cap 4=1",
                              "cap 8=1",
                              "cap 7=1",
                              "cap 6=1",
                              "resolution 720x576 720 576 40",
                              "resolution 720x288 720 288 40",
                              "resolution 352x288 352 288 40",
                              "resolution 176x144 176 144 40",
                              "resolution 640x480 640 480 40",
                              "resolution 320x240 320 240 40",
                              "field 1 127.0.0.53",
                              "field 2 " + port,
                              "field 3 ",
                              "field 4 ",
                              // 30,15,10,7.5,5,1 read on a PAL camera: 25,12,8,7,4,1.
                              "interval 1000",
                              "interval 250",
                              "interval 142",
                              "interval 125",
                              "interval 83",
                              "interval 40",
                              "default interval 125",
                              "param 1 Network timeout|0|5000",
                              "param 2 Video standard|0|0",
                              "param 3 Orvane Device Type|1|Dome HSD620",
                              "param 4 Minimum bitrate|0|64",
                              "param 5 Maximum bitrate|0|10000",
                              "param 6 Use MJPEG video receiving via HTTP|0|0",
                              "param 7 MediaType parameter support option|0|1",
                              "param 8 Number of Supported PTZ Channels|0|1",
                              "param 9 Filename for Preset XML Storage|1|Orvane_001B9D4E2107.preset",
                              "param 10 Orvane PTZ capabilities|1|F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:1",
                              "param 11 First input ID for IP PTZ cameras|0|0",
                              "param 12 Command type for input states receiving|0|2",
                              "param 13 Command type for output state setting|0|2",
                              "param 14 Firmware|1|2.6.12",
                          }));
  EXPECT_EQ(host.WaitOutcome(), "completed");
  EXPECT_EQ(host.outcomes(), 1);
}

// One camera and what the host must see of it: parameters by index ("name|kind|value" reduced
// to the value), capabilities, and the outcome.
struct ProfileRow {
  const char* label;
  const char* profile;
  std::function<void(camsim::Simulator&)> change;
  bool ntsc;
  std::string outcome;
  std::map<int, std::string> parameters;  // index -> value
  std::vector<std::string> present;       // calls that must appear
  std::vector<std::string> absent;        // calls that must not
};

std::string ValueOf(const std::string& parameter) { return parameter.substr(parameter.rfind('|') + 1); }

TEST(CapabilityQuery, CamerasAndTheirEdges) {
  const auto set = [](std::vector<std::pair<std::string, std::string>> values) {
    return [values](camsim::Simulator& s) {
      for (const auto& [key, value] : values) s.SetParameter(key, value);
    };
  };
  const auto all_codecs = [](const std::string& tail, const std::string& value) {
    return [=](camsim::Simulator& s) {
      for (const char* codec : {"h264", "mjpeg", "mpeg4"}) {
        s.SetParameter(std::string("VideoInput.1.") + codec + ".1.Capabilities." + tail, value);
      }
    };
  };
  const std::string completed = "completed";
  const std::vector<ProfileRow> rows = {
      {"encoder: four named inputs and two named outputs, four video inputs", "encoder_4ch", nullptr, false, completed,
       {{3, "Video Encoder 4CH"}, {8, "4"}, {12, "1"}, {13, "1"}, {14, "2.9.3"}},
       {"cap 0=4", "cap 2=4", "cap 3=2", "cap 1=1"}, {}},
      {"PTZ model on firmware 1.x, source selection, Motion-JPEG over HTTP", "old_firmware", nullptr, false, completed,
       {{3, "Common camera with old firmware"}, {6, "1"}, {11, "2"}, {12, "3"}, {14, "1.8.7"}},
       {"cap 2=2", "cap 7=1", "cap 8=1", "cap 6=1"}, {}},
      {"source entries naming alarms 3, 5, 0 and 40: first entry 2, five inputs", "old_firmware",
       set({{"Cc-1.Udp-1.SourceSelection.Input1Source", "Camera Alarm 0"},
            {"Cc-1.Udp-1.SourceSelection.Input2Source", "Camera Alarm 3"},
            {"Cc-1.Udp-1.SourceSelection.Input3Source", "Camera Alarm 40"},
            {"Cc-1.Udp-1.SourceSelection.Input4Source", "Camera Alarm 5"}}),
       false, completed, {{11, "2"}, {12, "3"}}, {"cap 2=5"}, {}},
      {"firmware 1.8 on a fixed camera", "minimal_fixed", set({{"General.ProductVersion", "1.8"}}), false, completed,
       {{3, "Fixed Box Camera"}, {14, "1.8.0"}}, {}, {}},
      {"firmware starting with a letter", "minimal_fixed", set({{"General.ProductVersion", "V2.1.3"}}), false,
       completed, {{14, "2.4095.4095"}}, {}, {}},
      {"firmware field above 65535", "minimal_fixed", set({{"General.ProductVersion", "2.70000.1"}}), false, completed,
       {{14, "2.4095.4095"}}, {}, {}},
      {"frame rates 30,15,7.5 on PAL", "ptz_dome", all_codecs("FrameRateList", "30,15,7.5"), false, completed, {},
       {"interval 142", "interval 83", "interval 40", "default interval 83"}, {"interval 33"}},
      {"frame rates 30,15,7.5 on NTSC", "ptz_dome", all_codecs("FrameRateList", "30,15,7.5"), true, completed,
       {{2, "1"}}, {"interval 125", "interval 66", "interval 33", "default interval 66", "resolution 720x480 720 480 33"},
       {"interval 142"}},
      {"names must stand between commas", "ptz_dome", all_codecs("ResolutionList", "XD1,CIF,QCIFX"), false, completed,
       {}, {"resolution 352x288 352 288 40"}, {"resolution 720x576 720 576 40", "resolution 176x144 176 144 40"}},
      {"a negative minimum bitrate fails that codec only", "ptz_dome",
       set({{"VideoInput.1.h264.1.Capabilities.MinBitrate", "-64"}}), false, completed,
       {{4, "128"}, {5, "10000"}}, {"cap 8=1"}, {}},
      {"wildcard PTZ read refused: heads counted one by one", "ptz_auth_wildcard", nullptr, false, completed,
       {{8, "2"}}, {"cap 1=1"}, {}},
      {"32 named inputs", "named_inputs_32", nullptr, false, completed, {{12, "1"}}, {"cap 2=32"}, {}},
      {"no frame rate lists: published up to the rates, then refused", "no_frame_rates", nullptr, false,
       "failed 3 Failed to save capability query results", {}, {"model Orvane BL-320", "cap 8=1"},
       {"param 1 Network timeout|0|5000"}},
  };
  QueryExports lib;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    Camera camera("127.0.0.54", row.profile);
    if (row.change) row.change(camera.simulator);
    RecordingHost host;
    Probe(lib, camera, host, row.ntsc);
    EXPECT_EQ(host.WaitOutcome(1, 0ms), row.outcome);
    EXPECT_EQ(host.outcomes(), 1);
    for (const auto& [index, value] : row.parameters) EXPECT_EQ(ValueOf(host.Parameter(index)), value) << index;
    const auto calls = host.calls();
    for (const auto& call : row.present) EXPECT_NE(std::find(calls.begin(), calls.end(), call), calls.end()) << call;
    for (const auto& call : row.absent) EXPECT_EQ(std::find(calls.begin(), calls.end(), call), calls.end()) << call;
  }
}

// The exports' contract with a host: refusals, and a camera that stalls the first request for
// far longer than any wait here.
TEST(CapabilityQuery, ExportsAroundAStallingCamera) {
  QueryExports lib;
  Camera camera("127.0.0.55", "ptz_dome");
  std::string error;
  const auto stall = camsim::ParseFault("delay:api/param.cgi?req=General.Brand:60000", &error);
  ASSERT_TRUE(stall) << error;
  const auto elapsed = [](auto&& call) {
    const auto begin = std::chrono::steady_clock::now();
    call();
    return std::chrono::steady_clock::now() - begin;
  };
  // The stalled request is logged only once answered; the connection shows it is under way.
  const auto wait_connections = [&](std::uint64_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (camera.simulator.Connections().accepted < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    return camera.simulator.Connections().accepted >= count;
  };
  const std::string address = camera.simulator.address();
  const std::uint16_t port = camera.simulator.port();
  RecordingHost host;
  RecordingHost results;

  EXPECT_LT(elapsed([&] { EXPECT_EQ(lib.uninit(), 1); }), 2s) << "nothing to wait for";
  EXPECT_EQ(lib.start(address.c_str(), port, "", "", &results), 0) << "no sink yet";
  EXPECT_EQ(lib.init(nullptr, 0), 0);
  ASSERT_EQ(lib.init(&host, 0), 1);
  EXPECT_EQ(lib.init(&host, 0), 0) << "a second Init";

  // Terminate during the stall ends the query long before the camera would answer.
  camera.simulator.AddFault(*stall);
  ASSERT_EQ(lib.start(address.c_str(), port, "", "", &results), 1);
  ASSERT_TRUE(wait_connections(1));
  EXPECT_EQ(lib.start(address.c_str(), port, "", "", &results), 0) << "a query is still running";
  EXPECT_EQ(lib.terminate(), 1);
  EXPECT_EQ(host.WaitOutcome(1, 10s), "failed 3 Failed to get camera properties");

  // A finished query makes room for the next.
  camera.simulator.ClearFaults();
  ASSERT_EQ(lib.start(address.c_str(), port, "", "", &results), 1);
  EXPECT_EQ(host.WaitOutcome(2), "completed");
  EXPECT_EQ(results.Find("model "), "Orvane HSD620");

  // Uninit during a stall returns at once, and nothing reaches the host after it.
  camera.simulator.AddFault(*stall);
  const std::uint64_t accepted = camera.simulator.Connections().accepted;
  ASSERT_EQ(lib.start(address.c_str(), port, "", "", &results), 1);
  ASSERT_TRUE(wait_connections(accepted + 1));
  EXPECT_LT(elapsed([&] { EXPECT_EQ(lib.uninit(), 1); }), 5s);
  EXPECT_EQ(host.outcomes(), 2);

  // Uninit right after Start: the query stops before it asks anything more.
  ASSERT_EQ(lib.init(&host, 0), 1);
  camera.simulator.ClearFaults();
  ASSERT_EQ(lib.start(address.c_str(), port, "", "", &results), 1);
  EXPECT_EQ(lib.uninit(), 1);
  EXPECT_EQ(host.outcomes(), 2);

  // A host that ends the query from its own notification: the thread cannot wait for itself,
  // and the next Init finds everything released.
  host.on_outcome = [&] { EXPECT_EQ(lib.uninit(), 1); };
  ASSERT_EQ(lib.init(&host, 0), 1);
  ASSERT_EQ(lib.start(address.c_str(), port, "", "", &results), 1);
  EXPECT_EQ(host.WaitOutcome(3), "completed");
  host.on_outcome = nullptr;
  EXPECT_EQ(lib.init(&host, 0), 1);
  EXPECT_EQ(lib.uninit(), 1);
}

}  // namespace
