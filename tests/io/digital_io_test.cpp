// Alarm inputs and relay outputs through the built library, against the simulated camera: what
// the host is told, and the requests the camera receives.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
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
#include "host/io.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kalmora::ICaptureIOApi;

// Longer than one poll period and a failed exchange, short of the test time-out.
constexpr auto kWait = 12s;

struct IoEvent {
  bool failure = false;
  std::uint32_t input = 0;
  std::int32_t state = 0;
  friend bool operator==(const IoEvent&, const IoEvent&) = default;
};

void PrintTo(const IoEvent& e, std::ostream* out) {
  *out << (e.failure ? std::string("failure") : "input " + std::to_string(e.input) + "=" + std::to_string(e.state));
}

IoEvent Change(std::uint32_t input, std::int32_t state) { return {false, input, state}; }
const IoEvent kFailure{true, 0, 0};

std::string Describe(const std::vector<IoEvent>& events) {
  std::string text;
  for (const IoEvent& e : events) {
    text += e.failure ? "failure " : "input " + std::to_string(e.input) + "=" + std::to_string(e.state) + " ";
  }
  return text;
}

// The host's callback: keeps what it is told, and may act on it from the driver's thread.
class Events final : public kalmora::ipcapture::ICaptureIOCallback {
 public:
  void OnInputStateChanged(std::uint32_t input, std::int32_t state) override {
    Push(Change(input, state));
    if (on_change) on_change();
  }
  void OnIOFailure() override {
    Push(kFailure);
    if (on_failure) on_failure();
  }

  // Waits until count events are kept; then takes them all.
  std::vector<IoEvent> Take(std::size_t count, std::chrono::milliseconds bound = kWait) {
    return TakeWhen([count](const std::vector<IoEvent>& events) { return events.size() >= count; }, bound);
  }
  std::vector<IoEvent> TakeWhen(const std::function<bool(const std::vector<IoEvent>&)>& done,
                                std::chrono::milliseconds bound = kWait) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, bound, [&] { return done(events_); });
    return std::exchange(events_, {});
  }

  std::function<void()> on_change;
  std::function<void()> on_failure;

 private:
  void Push(const IoEvent& event) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<IoEvent> events_;
};

// A simulated camera on its own address, and the driver opened for it through the library.
class IoCamera {
 public:
  IoCamera(const char* address, const char* profile) : address_(address) {
    std::string error;
    EXPECT_TRUE(simulator.LoadProfileFile(std::string(CAMSIM_PROFILE_DIR) + "/" + profile + ".params", &error))
        << error;
    EXPECT_TRUE(simulator.Start(address, 0, &error)) << error;
    EXPECT_TRUE(library_.Load(TESSAVIRN_LIBRARY)) << library_.error();
  }
  ~IoCamera() {
    Close();
    simulator.Stop();
  }

  // Opens the driver with inputs, outputs and custom parameters 11, 12, 13 (empty: absent).
  ICaptureIOApi* Open(int inputs, int outputs, const std::string& first_source, const std::string& input_mode,
                      const std::string& output_mode) {
    Close();
    config_.address = address_;
    config_.port = simulator.port();
    config_.digital_inputs = inputs;
    config_.digital_outputs = outputs;
    // The driver reads custom parameters up to the first missing one.
    config_.custom_parameters = {{1, "5000"}, {2, "0"}, {3, ""}, {4, ""}, {5, ""},  {6, "0"},         {7, ""},
                                 {8, "0"},    {9, ""},  {10, ""}, {11, first_source}, {12, input_mode}, {13, output_mode}};
    settings_.emplace(config_);
    driver_ = library_.Create();
    if (driver_ == nullptr || !driver_->Open(&sink, &frames_, &*settings_)) return nullptr;
    ICaptureIOApi* io = driver_->GetCaptureIOApi();
    if (io != nullptr) io->SetIOCallback(&events);
    return io;
  }
  void Close() {
    if (driver_ == nullptr) return;
    driver_->Close();
    library_.Delete(driver_);
    driver_ = nullptr;
  }

  // Targets of the requests the camera answered whose target contains part, in order.
  std::vector<std::string> Requests(const std::string& part) const {
    std::vector<std::string> targets;
    for (const auto& record : simulator.RequestLog()) {
      if (record.target.find(part) != std::string::npos) targets.push_back(record.target);
    }
    return targets;
  }
  bool WaitForRequests(const std::string& part, std::size_t count) const {
    return tessavirn_test::WaitFor([&] { return Requests(part).size() >= count; }, kWait);
  }
  std::string Endpoint() const { return address_ + ":" + std::to_string(simulator.port()); }

  camsim::Simulator simulator;
  tessavirn_host::DebugSink sink;
  Events events;

 private:
  std::string address_;
  tessavirn_host::DriverLibrary library_;
  tessavirn_host::FrameFactory frames_;
  tessavirn_host::DeviceConfig config_;
  std::optional<tessavirn_host::DeviceSettings> settings_;
  kalmora::ipcapture::IIPCaptureDriverEx3* driver_ = nullptr;
};

// One start: the camera's keys as set before it, and the changes the host hears at Start.
struct StartRow {
  std::string first_source;  // custom parameter 11
  std::vector<std::pair<std::string, std::string>> keys;
  std::vector<IoEvent> expected;
};

// Each row opens the driver, sets the keys, starts and stops; Start reports synchronously.
void CheckStartRows(IoCamera& camera, int inputs, const std::string& mode, const std::string& query,
                    const std::vector<StartRow>& rows) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    ICaptureIOApi* io = camera.Open(inputs, 0, rows[i].first_source, mode, "");
    ASSERT_NE(io, nullptr);
    for (const auto& [key, value] : rows[i].keys) camera.simulator.SetParameter(key, value);
    camera.simulator.ClearRequestLog();
    ASSERT_TRUE(io->Start());
    EXPECT_EQ(camera.events.Take(rows[i].expected.size(), 0ms), rows[i].expected);
    EXPECT_EQ(camera.Requests("/params/"), std::vector<std::string>{"/params/get.cgi?" + query});
    EXPECT_TRUE(io->Stop());
  }
}

// A change made on the camera while polling runs is told once, in the next poll; the polls
// after it tell nothing.
void CheckLiveChange(IoCamera& camera, int inputs, const std::string& mode, const std::string& key,
                     const std::string& value, const IoEvent& expected) {
  ICaptureIOApi* io = camera.Open(inputs, 0, "2", mode, "");
  ASSERT_NE(io, nullptr);
  ASSERT_TRUE(io->Start());
  camera.events.Take(inputs, 0ms);
  const auto changed_at = Clock::now();
  camera.simulator.SetParameter(key, value);
  EXPECT_EQ(camera.events.Take(1), std::vector<IoEvent>{expected});
  std::printf("change told after %lld ms (poll period 2000 ms)\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - changed_at).count()));
  const std::size_t polls = camera.Requests("get.cgi").size();
  ASSERT_TRUE(camera.WaitForRequests("get.cgi", polls + 1));
  EXPECT_EQ(Describe(camera.events.Take(0, 0ms)), "");
  EXPECT_TRUE(io->Stop());
}

TEST(DigitalInputs, Mode1ReadsDetectAlarmKeys) {
  IoCamera camera("127.0.0.170", "encoder_4ch");
  // Five inputs on a four-input profile: the fifth key is missing.
  CheckStartRows(camera, 5, "1", "Cc-1.Input-*.CcDetectAlarm",
                 {{"", {{"Cc-1.Input-1.CcDetectAlarm", "ON"}, {"Cc-1.Input-2.CcDetectAlarm", "-"}},
                   {Change(0, 2), Change(1, 1), Change(2, 1), Change(3, 1)}},
                  {"", {{"Cc-1.Input-1.CcDetectAlarm", "on"}, {"Cc-1.Input-2.CcDetectAlarm", "OFF"}},
                   {Change(2, 1), Change(3, 1)}}});
  CheckLiveChange(camera, 4, "1", "Cc-1.Input-4.CcDetectAlarm", "ON", Change(3, 2));
}

TEST(DigitalInputs, Mode2ReadsCameraAlarmKeys) {
  IoCamera camera("127.0.0.171", "ptz_dome");
  // Three inputs on a two-alarm profile: CameraAlarm3 is missing.
  CheckStartRows(camera, 3, "2", "Data-1.Status.CameraAlarm*",
                 {{"", {{"Data-1.Status.CameraAlarm1", "-"}, {"Data-1.Status.CameraAlarm2", "ON"}},
                   {Change(0, 1), Change(1, 2)}},
                  {"", {{"Data-1.Status.CameraAlarm1", "OFF"}, {"Data-1.Status.CameraAlarm2", "on"}}, {}}});
  CheckLiveChange(camera, 2, "2", "Data-1.Status.CameraAlarm1", "ON", Change(0, 2));
}

TEST(DigitalInputs, Mode3ReadsSourceSelectionFromTheFirstSourceInput) {
  IoCamera camera("127.0.0.172", "old_firmware");
  const std::string source = "Cc-1.Udp-1.SourceSelection.Input";
  CheckStartRows(camera, 2, "3", "Cc-1.Udp-1.SourceSelection.Input*S*",
                 {// Entries 2 and 3: "Camera Alarm 1" and "Motion".
                  {"2", {{source + "2Status", "True"}}, {Change(0, 2)}},
                  {"2", {{source + "3Source", "Camera Alarm 2"}, {source + "3Status", "False"}}, {Change(0, 2), Change(1, 1)}},
                  // Entries 1 and 2: input 0 needs "Camera Alarm 1" at entry 1.
                  {"1", {{source + "1Source", "Camera Alarm 1"}, {source + "1Status", "True"}}, {Change(0, 2)}},
                  {"1", {{source + "1Source", "Camera Alarm 2"}}, {}},
                  {"1", {{source + "1Source", "Camera Alarm 1"}, {source + "1Status", "true"}}, {}},
                  // No parameter 11: no entry is read.
                  {"", {{source + "1Status", "True"}}, {}}});
  CheckLiveChange(camera, 2, "3", source + "2Status", "False", Change(0, 1));
}

struct OutputMode {
  const char* address;
  const char* profile;
  const char* mode;
  const char* key1;  // output 0 and 1 keys as the camera receives them
  const char* key2;
  const char* off;
  const char* on;
};

TEST(DigitalOutputs, SwitchInTheOrderAskedThroughBothModes) {
  for (const OutputMode& m : {OutputMode{"127.0.0.173", "encoder_4ch", "1", "Cc-1.Output-1.OperationalMode",
                                         "Cc-1.Output-2.OperationalMode", "Normal", "Invert"},
                              OutputMode{"127.0.0.174", "ptz_dome", "2", "Data-1.Status.AuxOut1",
                                         "Data-1.Status.AuxOut2", "Off", "On"}}) {
    SCOPED_TRACE(m.mode);
    IoCamera camera(m.address, m.profile);
    ICaptureIOApi* io = camera.Open(0, 2, "", "", m.mode);
    ASSERT_NE(io, nullptr);
    EXPECT_FALSE(io->SetOutput(0, 2));  // not started
    ASSERT_TRUE(io->Start());
    auto set = [&](const char* key, const char* value) { return std::string("/params/set.cgi?") + key + "=" + value; };
    std::vector<std::string> expected = {set(m.key1, m.off), set(m.key2, m.off)};
    EXPECT_EQ(camera.Requests("set.cgi"), expected);
    // The repeat, state 3 and an unknown output send nothing; the last change shows that the
    // ones before it were handled.
    for (const auto& [output, state] : std::vector<std::pair<std::uint32_t, std::int32_t>>{
             {0, 2}, {0, 1}, {0, 1}, {0, 3}, {5, 2}, {1, 2}}) {
      EXPECT_TRUE(io->SetOutput(output, state));
    }
    expected.insert(expected.end(), {set(m.key1, m.on), set(m.key1, m.off), set(m.key2, m.on)});
    ASSERT_TRUE(camera.WaitForRequests("set.cgi", expected.size()));
    EXPECT_EQ(camera.Requests("set.cgi"), expected);

    // A refused change is logged and not taken as done: the same change goes out again.
    camera.simulator.AddFault({camsim::FaultKind::kStatus, "params/set.cgi*", 404, 1});
    EXPECT_TRUE(io->SetOutput(1, 1));
    EXPECT_TRUE(io->SetOutput(1, 1));
    expected.insert(expected.end(), {set(m.key2, m.off), set(m.key2, m.off)});
    ASSERT_TRUE(camera.WaitForRequests("set.cgi", expected.size()));
    EXPECT_EQ(camera.Requests("set.cgi"), expected);
    EXPECT_EQ(camera.sink.Find("Cannot set output").size(), 1u);
    EXPECT_EQ(camera.sink.Find("kalmora::COrvaneDigitalIO::WriteOutput: Cannot set output 1 of camera " +
                               camera.Endpoint() + ". Status code = 404.")
                  .size(),
              1u);
    EXPECT_EQ(camera.events.Take(0, 0ms), std::vector<IoEvent>{});
    EXPECT_TRUE(io->Stop());
    EXPECT_FALSE(io->SetOutput(0, 2));  // stopped
  }
}

TEST(DigitalIo, CameraThatStopsAnsweringIsToldPerPollAndReadAgain) {
  IoCamera camera("127.0.0.175", "ptz_dome");
  ICaptureIOApi* io = camera.Open(2, 0, "", "2", "");
  ASSERT_NE(io, nullptr);
  camera.simulator.SetParameter("Data-1.Status.CameraAlarm1", "ON");
  ASSERT_TRUE(io->Start());
  EXPECT_EQ(camera.events.Take(2, 0ms), (std::vector<IoEvent>{Change(0, 2), Change(1, 1)}));

  // An error status is logged per poll and keeps the states: nothing is told again after it.
  camera.simulator.AddFault({camsim::FaultKind::kStatus, "params/get.cgi*", 401, 1});
  ASSERT_TRUE(tessavirn_test::WaitFor([&] { return !camera.sink.Find("Cannot receive").empty(); }, kWait));
  EXPECT_EQ(camera.sink.Find("kalmora::COrvaneDigitalIO::GetInputStates: Cannot receive input states for camera " +
                             camera.Endpoint() + ". Status code = 401.")
                .size(),
            1u);
  const std::size_t polls = camera.Requests("get.cgi").size();
  ASSERT_TRUE(camera.WaitForRequests("get.cgi", polls + 1));

  // No reply at all: one failure per poll, and every input told again once the camera answers.
  const std::uint16_t port = camera.simulator.port();
  camera.simulator.Stop();
  EXPECT_EQ(camera.events.Take(2), (std::vector<IoEvent>{kFailure, kFailure}));
  std::string error;
  ASSERT_TRUE(camera.simulator.Start("127.0.0.175", port, &error)) << error;
  EXPECT_EQ(camera.events.Take(2), (std::vector<IoEvent>{Change(0, 2), Change(1, 1)}));
  EXPECT_TRUE(io->Stop());
}

TEST(DigitalIo, StopDuringStalledRequestsIsPromptAndSendsNothingQueued) {
  IoCamera camera("127.0.0.176", "ptz_dome");
  ICaptureIOApi* io = camera.Open(2, 2, "", "2", "2");
  ASSERT_NE(io, nullptr);
  ASSERT_TRUE(io->Start());
  EXPECT_EQ(camera.events.Take(2, 0ms), (std::vector<IoEvent>{Change(0, 1), Change(1, 1)}));
  EXPECT_FALSE(io->Start());  // already started: nothing more is sent

  // The camera takes every request and answers none for a minute.
  camera.simulator.AddFault({camsim::FaultKind::kDelay, "params/*", 60000, -1});
  EXPECT_TRUE(io->SetOutput(0, 2));
  EXPECT_TRUE(io->SetOutput(1, 2));  // queued behind the stalled one
  ASSERT_TRUE(camera.simulator.WaitForOutputWrites(3, kWait));  // Start's two, then the stalled one
  std::this_thread::sleep_for(2500ms);  // a poll is on the wire too by now
  const auto stop_began = Clock::now();
  EXPECT_TRUE(io->Stop());
  const auto took = Clock::now() - stop_began;
  std::printf("Stop took %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  // Far below the 5000 ms a request would wait for the camera: Stop aborted them.
  EXPECT_LT(took, 4s);
  EXPECT_EQ(camera.events.Take(0, 0ms), std::vector<IoEvent>{});  // aborted requests are no failure

  // The aborted request reached the camera; the queued change never did. A new Start works.
  camera.simulator.ClearFaults();
  ASSERT_TRUE(io->Start());
  std::vector<std::string> writes_seen;
  for (const auto& write : camera.simulator.OutputWrites()) writes_seen.push_back(write.key + "=" + write.value);
  EXPECT_EQ(writes_seen, (std::vector<std::string>{"Data-1.Status.AuxOut1=Off", "Data-1.Status.AuxOut2=Off",
                                                   "Data-1.Status.AuxOut1=On", "Data-1.Status.AuxOut1=Off",
                                                   "Data-1.Status.AuxOut2=Off"}));

  // Closed without Stop while a change stalls: the threads end before the driver goes.
  camera.simulator.AddFault({camsim::FaultKind::kDelay, "params/*", 60000, -1});
  EXPECT_TRUE(io->SetOutput(1, 2));
  const auto close_began = Clock::now();
  camera.Close();
  EXPECT_LT(Clock::now() - close_began, 4s);
}

TEST(DigitalIo, HostMayStopAndSwitchFromInsideItsCallbacks) {
  IoCamera camera("127.0.0.177", "ptz_dome");
  ICaptureIOApi* io = camera.Open(1, 1, "", "2", "2");
  ASSERT_NE(io, nullptr);
  // A change switches the output (from the input thread; during Start, before the output
  // thread runs, the switch is refused); a failure stops the object from the I/O thread.
  camera.events.on_change = [io] { io->SetOutput(0, 2); };
  camera.events.on_failure = [io] { io->Stop(); };
  ASSERT_TRUE(io->Start());
  EXPECT_EQ(camera.events.Take(1, 0ms), std::vector<IoEvent>{Change(0, 1)});
  camera.simulator.SetParameter("Data-1.Status.CameraAlarm1", "ON");
  ASSERT_TRUE(camera.WaitForRequests("AuxOut1=On", 1));
  camera.simulator.Stop();
  EXPECT_EQ(camera.events.Take(2), (std::vector<IoEvent>{Change(0, 2), kFailure}));
  EXPECT_TRUE(tessavirn_test::WaitFor([io] { return !io->SetOutput(0, 1); }, kWait));  // stopped from the callback
  EXPECT_TRUE(io->Stop());
  camera.events.on_change = nullptr;
  camera.events.on_failure = nullptr;
}

TEST(DigitalIo, PollFailuresWhileOutputsSwitch) {
  IoCamera camera("127.0.0.178", "ptz_dome");
  ICaptureIOApi* io = camera.Open(2, 2, "", "2", "2");
  ASSERT_NE(io, nullptr);
  camera.simulator.SetParameter("Data-1.Status.CameraAlarm2", "ON");
  ASSERT_TRUE(io->Start());
  camera.events.Take(2, 0ms);
  // Both threads fail and reset the states at once while the host keeps switching.
  const std::uint16_t port = camera.simulator.port();
  camera.simulator.Stop();
  for (int i = 0; i < 60; ++i) {
    io->SetOutput(i % 2, 1 + (i / 2) % 2);
    std::this_thread::sleep_for(50ms);
  }
  std::string error;
  ASSERT_TRUE(camera.simulator.Start("127.0.0.178", port, &error)) << error;
  // Read again: the last two events are both inputs told anew.
  const auto events = camera.events.TakeWhen([](const std::vector<IoEvent>& e) {
    return e.size() >= 2 && e.back() == Change(1, 2);
  });
  ASSERT_GE(events.size(), 3u) << Describe(events);
  EXPECT_EQ(events[events.size() - 2], Change(0, 1)) << Describe(events);
  EXPECT_EQ(events.front(), kFailure) << Describe(events);
  // The states were reset, so the output that was last asked on goes out again.
  camera.simulator.ClearRequestLog();
  EXPECT_TRUE(io->SetOutput(0, 2));
  EXPECT_TRUE(camera.WaitForRequests("AuxOut1=On", 1));
  EXPECT_TRUE(io->Stop());
}

}  // namespace
