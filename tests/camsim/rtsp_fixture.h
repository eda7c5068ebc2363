#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

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

// Starts simulator with the ptz_dome profile and RTSP with settings on free ports of address.
inline ::testing::AssertionResult StartWithRtsp(camsim::Simulator& simulator,
                                                const std::string& address,
                                                camsim::RtspSettings settings) {
  settings.enabled = true;
  settings.port = 0;
  simulator.SetRtspSettings(settings);
  std::string error;
  if (simulator.LoadProfileFile(ProfilePath("ptz_dome"), &error) &&
      simulator.Start(address, 0, &error)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << error;
}

// One session as both ends saw it.
struct PlayedSession {
  std::string sdp;
  std::vector<RtpView> packets;           // as received, up to the last marker awaited
  std::vector<camsim::SentFrame> frames;  // what the camera recorded sending in the session
};

// Plays a session of stream on the running simulator with the driver's requests, from a client
// on address, until `markers` packets with the marker bit arrived; then tears it down, which
// ends the media thread, so every frame it sent is recorded. nullopt when an exchange failed.
inline std::optional<PlayedSession> PlaySession(const camsim::Simulator& simulator,
                                                const std::string& address,
                                                const std::string& stream, std::size_t markers) {
  RtspTestClient client;
  UdpPair udp;
  if (!client.Connect(address, address, simulator.rtsp_port()) || !udp.Open(address)) {
    return std::nullopt;
  }
  const DriverRequests requests{address, 1, stream};
  const std::optional<RtspResponse> describe = client.Exchange(requests.Describe(1), kGenerousWait);
  const std::optional<RtspResponse> setup =
      client.Exchange(requests.Setup(2, udp.rtp_port(), udp.rtcp_port()), kGenerousWait);
  if (!describe || describe->status != 200 || !setup || setup->status != 200) return std::nullopt;
  const std::string session = setup->SessionId();
  const std::optional<RtspResponse> play =
      client.Exchange(requests.Play(3, session), kGenerousWait);
  if (!play || play->status != 200) return std::nullopt;
  PlayedSession played;
  played.sdp = describe->body;
  played.packets = udp.ReceiveUnits(markers, kGenerousWait);
  const std::optional<RtspResponse> teardown =
      client.Exchange(requests.Teardown(4, session), kGenerousWait);
  if (!teardown || teardown->status != 200) return std::nullopt;
  for (const camsim::SentFrame& frame : simulator.SentFrames()) {
    if (frame.session == session) played.frames.push_back(frame);
  }
  return played;
}

// The packets received of each frame sent, told apart by the sequence numbers the camera
// recorded; frames after the last packet received are left out.
inline std::vector<std::vector<RtpView>> PacketsByFrame(const PlayedSession& played) {
  std::vector<std::vector<RtpView>> by_frame;
  if (played.packets.empty()) return by_frame;
  const std::uint16_t first = played.packets.front().sequence;
  const auto span = static_cast<std::uint16_t>(played.packets.back().sequence - first);
  for (const camsim::SentFrame& frame : played.frames) {
    if (static_cast<std::uint16_t>(frame.first_sequence - first) > span) break;
    const auto size = static_cast<std::uint16_t>(frame.last_sequence - frame.first_sequence);
    std::vector<RtpView>& packets = by_frame.emplace_back();
    for (const RtpView& packet : played.packets) {
      if (static_cast<std::uint16_t>(packet.sequence - frame.first_sequence) <= size) {
        packets.push_back(packet);
      }
    }
  }
  return by_frame;
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
