#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "camsim/h264_clip.h"
#include "camsim/simulator.h"
#include "rtsp_test_client.h"
#include "simulator_fixture.h"

namespace camsim_test {

// The default clip as the simulator reads it.
inline const camsim::H264Clip& DefaultClip() {
  static const camsim::H264Clip clip = [] {
    camsim::H264Clip loaded;
    std::string error;
    EXPECT_TRUE(loaded.LoadFile(CAMSIM_DEFAULT_CLIP, &error)) << error;
    return loaded;
  }();
  return clip;
}

// A simulator with RTSP on a free port of the test's own address, a control connection and a
// UDP port pair on the same address; everything is stopped at the end of the test.
class RtspTest : public ::testing::Test {
 protected:
  void StartRtsp(const std::string& address, camsim::RtspSettings settings = {},
                 const std::string& profile = "ptz_dome") {
    address_ = address;
    requests_.host = address;
    settings.enabled = true;
    settings.port = 0;
    std::string error;
    ASSERT_TRUE(simulator_.LoadProfileFile(ProfilePath(profile), &error)) << error;
    simulator_.SetRtspSettings(settings);
    ASSERT_TRUE(simulator_.Start(address, 0, &error)) << error;
    ASSERT_NE(simulator_.rtsp_port(), 0);
    ASSERT_TRUE(Connect(client_));
    ASSERT_TRUE(udp_.Open(address));
  }
  void TearDown() override { simulator_.Stop(); }

  bool Connect(RtspTestClient& client) {
    return client.Connect(address_, address_, simulator_.rtsp_port());
  }

  // DESCRIBE, SETUP and PLAY with the driver's request texts and CSeq 1, 2, 3; the session id,
  // empty after a failure.
  std::string OpenSession(RtspTestClient& client, UdpPair& udp) {
    const std::optional<RtspResponse> describe =
        client.Exchange(requests_.Describe(1), kGenerousWait);
    if (!describe || describe->status != 200) return {};
    const std::optional<RtspResponse> setup = client.Exchange(
        requests_.Setup(2, udp.rtp_port(), udp.rtcp_port()), kGenerousWait);
    if (!setup || setup->status != 200) return {};
    last_setup_ = *setup;
    const std::string session = setup->SessionId();
    const std::optional<RtspResponse> play =
        client.Exchange(requests_.Play(3, session), kGenerousWait);
    if (!play || play->status != 200) return {};
    last_play_ = *play;
    return session;
  }

  camsim::Simulator simulator_;
  std::string address_;
  DriverRequests requests_;
  RtspTestClient client_;
  UdpPair udp_;
  RtspResponse last_setup_;
  RtspResponse last_play_;
};

}  // namespace camsim_test
