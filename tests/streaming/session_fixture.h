// A camera simulator with RTSP on port 554 of a test's own address, and a driver opened for it
// with the host's objects: the H.264 channel streams from the simulator in this process.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../driver/driver_fixture.h"
#include "camsim/simulator.h"
#include "child_program.h"

namespace kalmora::testing {

// The frames of one channel as the host received them.
class FrameRecorder : public ipcapture::ICaptureFrameCallback {
 public:
  struct Frame {
    std::vector<std::uint8_t> data;
    std::uint32_t type = 0;
    std::chrono::steady_clock::time_point arrived;
  };
  bool CaptureFrameCallback(ipcapture::ICaptureFrame* frame) override {
    Frame copy;
    copy.data.assign(frame->GetData(), frame->GetData() + frame->GetDataLength());
    copy.type = frame->GetFrameType();
    copy.arrived = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(mutex_);
    frames_.push_back(std::move(copy));
    return true;
  }
  void Reserved3() override {}
  void NotifyNoSignal() override { no_signal_.fetch_add(1); }

  std::vector<Frame> frames() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return frames_;
  }
  std::size_t count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return frames_.size();
  }
  int no_signal() const { return no_signal_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<Frame> frames_;
  std::atomic<int> no_signal_{0};
};

class SessionTest : public ::testing::Test {
 protected:
  // Starts the simulator (RTSP on 554) at address, then opens a driver for it.
  void StartCamera(const char* address, camsim::RtspSettings rtsp = {},
                   const std::string& profile = "ptz_dome", const char* network_timeout = "2000") {
    rtsp.enabled = true;
    rtsp.port = 554;
    StartSimulator(address, rtsp, profile);
    OpenDriver(address, network_timeout);
  }
  // The simulator's parameter interface alone, so a test may serve port 554 itself.
  void StartSimulator(const char* address, const camsim::RtspSettings& rtsp = {},
                      const std::string& profile = "ptz_dome") {
    std::string error;
    ASSERT_TRUE(sim_.LoadProfileFile(std::string(CAMSIM_PROFILE_DIR) + "/" + profile + ".params", &error)) << error;
    sim_.SetRtspSettings(rtsp);
    ASSERT_TRUE(sim_.Start(address, 0, &error)) << error;
  }
  void OpenDriver(const char* address, const char* network_timeout) {
    tessavirn_host::DeviceConfig config = MinimalConfig();
    config.address = address;
    config.port = sim_.port();
    config.video_channels = 4;
    config.custom_parameters = {{1, network_timeout}, {2, "0"}, {3, "ZD-220"}, {4, "500"},
                                {5, "8000"},          {6, "0"}, {7, "1"},      {8, "0"}};
    driver_ = std::make_unique<OpenedDriver>(config);
    ASSERT_TRUE(driver_->Open());
    capture_ = driver_->driver.GetVideoCaptureEx();
    ASSERT_NE(capture_, nullptr);
  }
  void TearDown() override {
    if (driver_) driver_->driver.Close();
    sim_.Stop();
  }

  // False (not a crash) when the camera or driver never came up, e.g. its address was taken.
  bool StartChannel(std::uint32_t channel, FrameRecorder& recorder) {
    return capture_ != nullptr && capture_->StartChannel(channel, &recorder, &settings_);
  }
  std::int32_t State(std::uint32_t channel) {
    std::int32_t state = -1;
    capture_->GetChannelStatus(channel, &state, nullptr, nullptr, 0);
    return state;
  }
  std::vector<camsim::RtspRequestRecord> Requests(const std::string& method) const {
    std::vector<camsim::RtspRequestRecord> found;
    for (const auto& r : sim_.RtspLog()) {
      if (r.method == method) found.push_back(r);
    }
    return found;
  }
  std::size_t LogLines(const std::string& needle) const { return driver_->sink.Find(needle).size(); }

  camsim::Simulator sim_;
  std::unique_ptr<OpenedDriver> driver_;
  ipcapture::IIPVideoCaptureEx* capture_ = nullptr;
  tessavirn_host::ChannelSettings settings_{640, 480, 40, 60};
};

inline bool EndsWithDelimiter(const std::vector<std::uint8_t>& frame) {
  static const std::uint8_t kDelimiter[] = {0x00, 0x00, 0x01, 0x09, 0x30};
  return frame.size() >= 5 && std::equal(std::begin(kDelimiter), std::end(kDelimiter), frame.end() - 5);
}

// NAL unit type after the first three-byte start code.
inline int FirstNalType(const std::vector<std::uint8_t>& frame) {
  return frame.size() > 3 ? frame[3] & 0x1F : -1;
}

}  // namespace kalmora::testing
