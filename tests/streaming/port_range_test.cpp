// A session needs a free UDP pair in 3556 to 4555; with none free it is retried until one is.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "session_fixture.h"
#include "streaming/rtsp_channel.h"

namespace kalmora {
namespace {

using namespace std::chrono_literals;
using testing::FrameRecorder;
using testing::SessionTest;
using tessavirn_test::WaitFor;

using PortRange = SessionTest;

TEST_F(PortRange, EveryPortTakenDelaysTheSessionUntilPortsAreFree) {
  std::vector<int> taken;
  for (int port = CBaseRTSPChannel::kFirstRtpPort; port <= CBaseRTSPChannel::kLastRtpPort; ++port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << "port " << port << " is in use";
    taken.push_back(fd);
  }
  const auto release = [&] {
    for (int fd : taken) close(fd);
    taken.clear();
  };

  StartCamera("127.0.0.98");
  FrameRecorder frames;
  ASSERT_TRUE(StartChannel(0, frames));
  // Each pass configures the encoder, finds no pair and gives up before any RTSP request.
  const bool retried = sim_.WaitForRequests(9, 10s);
  EXPECT_TRUE(retried) << "the session open is retried on every pass";
  EXPECT_TRUE(sim_.RtspLog().empty());
  EXPECT_EQ(frames.count(), 0u);
  EXPECT_NE(State(0), ipcapture::kChannelStreaming);

  release();
  EXPECT_TRUE(WaitFor([&] { return frames.count() >= 10; }, 15s)) << "streams once ports are free";
  EXPECT_EQ(sim_.RtspStats().sessions_created, 1u);
}

}  // namespace
}  // namespace kalmora
