// Media faults, restarts, stalled replies and Stop, as seen in the counters and on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>

#include "http_test_client.h"
#include "rtsp_fixture.h"

namespace camsim_test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

camsim::MediaFault Fault(const std::string& text) {
  std::string error;
  const std::optional<camsim::MediaFault> fault = camsim::ParseMediaFault(text, &error);
  EXPECT_TRUE(fault) << text << ": " << error;
  return fault.value_or(camsim::MediaFault{});
}

// Offsets from the first sequence number of the packets that arrived.
std::vector<std::uint16_t> Offsets(const std::vector<RtpView>& packets, std::uint16_t first) {
  std::vector<std::uint16_t> offsets;
  for (const RtpView& packet : packets) {
    offsets.push_back(static_cast<std::uint16_t>(packet.sequence - first));
  }
  return offsets;
}

std::uint16_t FirstSequence(const RtspResponse& play) {
  const std::string info = play.Header("RTP-Info").value_or("");
  return static_cast<std::uint16_t>(std::stoul(info.substr(info.find("seq=") + 4)));
}

TEST_F(RtspTest, LossOfEveryNthPacket) {
  StartRtsp("127.0.0.119");
  simulator_.AddMediaFault(Fault("loss:every:10"));
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  const std::vector<RtpView> packets = udp_.ReceiveRtp(300, kGenerousWait);
  ASSERT_EQ(packets.size(), 300u);
  const std::vector<std::uint16_t> offsets = Offsets(packets, FirstSequence(last_play_));
  // Packets 10, 20, ... of the session (offsets 9, 19, ...) never arrive; all others do.
  std::uint16_t expected = 0;
  for (std::uint16_t offset : offsets) {
    if (expected % 10 == 9) ++expected;
    EXPECT_EQ(offset, expected);
    ++expected;
  }
  // The counters follow once each access unit is out.
  EXPECT_TRUE(simulator_.WaitForRtsp(
      [](const camsim::RtspCounters& c) { return c.packets_dropped >= 30; }, kGenerousWait));
  const camsim::RtspCounters counters = simulator_.RtspStats();
  EXPECT_NEAR(static_cast<double>(counters.packets_dropped),
              static_cast<double>(counters.packets_sent) / 9.0, 2.0);
}

TEST_F(RtspTest, SeededLossIsWithinBoundsAndRepeats) {
  StartRtsp("127.0.0.120");
  simulator_.AddMediaFault(Fault("loss:10%:42"));
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  const std::uint16_t first = FirstSequence(last_play_);
  RtspTestClient client;
  UdpPair udp;
  ASSERT_TRUE(Connect(client));
  ASSERT_TRUE(udp.Open(address_));
  ASSERT_FALSE(OpenSession(client, udp).empty());
  const std::uint16_t second_first = FirstSequence(last_play_);
  // Both sessions draw from the same seed, so they lose the same packets.
  const std::vector<RtpView> a = udp_.ReceiveRtp(400, kGenerousWait);
  const std::vector<RtpView> b = udp.ReceiveRtp(400, kGenerousWait);
  ASSERT_EQ(a.size(), 400u);
  ASSERT_EQ(b.size(), 400u);
  EXPECT_EQ(Offsets(a, first), Offsets(b, second_first));
  const std::size_t span = static_cast<std::uint16_t>(a.back().sequence - first) + 1;
  const std::size_t lost = span - a.size();
  EXPECT_GE(lost, span * 4 / 100) << span;
  EXPECT_LE(lost, span * 16 / 100) << span;
  EXPECT_TRUE(simulator_.WaitForRtsp(
      [lost](const camsim::RtspCounters& c) { return c.packets_dropped >= 2 * lost; },
      kGenerousWait));
}

TEST_F(RtspTest, DuplicatesAndReordering) {
  StartRtsp("127.0.0.121");
  simulator_.AddMediaFault(Fault("duplicate:5"));
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  const std::vector<std::uint16_t> duplicated =
      Offsets(udp_.ReceiveRtp(120, kGenerousWait), FirstSequence(last_play_));
  ASSERT_EQ(duplicated.size(), 120u);
  // 0 1 2 3 4 4 5 6 7 8 9 9 ...: the 5th, 10th, ... packet twice, in a row.
  std::vector<std::uint16_t> expected;
  for (std::uint16_t offset = 0; expected.size() < 120; ++offset) {
    expected.push_back(offset);
    if (offset % 5 == 4 && expected.size() < 120) expected.push_back(offset);
  }
  EXPECT_EQ(duplicated, expected);
  EXPECT_TRUE(simulator_.WaitForRtsp(
      [](const camsim::RtspCounters& c) { return c.packets_duplicated >= 20; }, kGenerousWait));

  // Reordering, on a second session: the 7th, 14th, ... packet after the one that follows it.
  simulator_.ClearMediaFaults();
  simulator_.AddMediaFault(Fault("reorder:7"));
  RtspTestClient client;
  UdpPair udp;
  ASSERT_TRUE(Connect(client));
  ASSERT_TRUE(udp.Open(address_));
  ASSERT_FALSE(OpenSession(client, udp).empty());
  const std::vector<std::uint16_t> reordered =
      Offsets(udp.ReceiveRtp(70, kGenerousWait), FirstSequence(last_play_));
  ASSERT_EQ(reordered.size(), 70u);
  std::vector<std::uint16_t> swapped;
  for (std::uint16_t offset = 0; offset < 71; ++offset) swapped.push_back(offset);
  for (std::size_t i = 6; i + 1 < swapped.size(); i += 7) std::swap(swapped[i], swapped[i + 1]);
  swapped.resize(70);
  EXPECT_EQ(reordered, swapped);
  EXPECT_TRUE(simulator_.WaitForRtsp(
      [](const camsim::RtspCounters& c) { return c.packets_reordered >= 9; }, kGenerousWait));
}

TEST_F(RtspTest, MediaStallPausesThenGoesOnWhereItWas) {
  StartRtsp("127.0.0.122");
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  std::vector<RtpView> packets = udp_.ReceiveUnits(10, kGenerousWait);
  ASSERT_FALSE(packets.empty());
  packets.erase(packets.begin(), packets.end() - 1);
  // The stall starts at once, so the last packet before it came at the latest now.
  std::vector<steady_clock::time_point> arrivals = {steady_clock::now()};
  simulator_.AddMediaFault(Fault("media-stall:1000"));
  // Nothing for the stall's length: the longest gap between datagrams is at least most of it.
  const auto end = steady_clock::now() + milliseconds(2500);
  while (steady_clock::now() < end) {
    for (RtpView& packet : udp_.ReceiveRtp(1, milliseconds(50))) {
      packets.push_back(std::move(packet));
      arrivals.push_back(steady_clock::now());
    }
  }
  ASSERT_GE(packets.size(), 2u);
  steady_clock::duration longest{};
  std::size_t after_gap = 0;
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    if (arrivals[i] - arrivals[i - 1] > longest) {
      longest = arrivals[i] - arrivals[i - 1];
      after_gap = i;
    }
  }
  EXPECT_GE(longest, milliseconds(800));
  // No packet and no frame was skipped: the stream goes on with the next sequence number and
  // the next frame's time stamp.
  for (std::size_t i = 1; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].sequence, static_cast<std::uint16_t>(packets[i - 1].sequence + 1));
  }
  ASSERT_GT(after_gap, 0u);
  const std::uint32_t step = packets[after_gap].time_stamp - packets[after_gap - 1].time_stamp;
  EXPECT_TRUE(step == 0 || step == 3600) << step;
}

TEST_F(RtspTest, RestartDropsEverythingRefusesThenComesBack) {
  StartRtsp("127.0.0.123");
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  ASSERT_FALSE(udp_.ReceiveRtp(1, kGenerousWait).empty());
  simulator_.Restart(milliseconds(3000));
  ASSERT_TRUE(simulator_.WaitForRtsp(
      [](const camsim::RtspCounters& c) { return c.restarts == 1 && c.sessions_dropped == 1; },
      kGenerousWait));
  EXPECT_TRUE(client_.WaitForClose(kGenerousWait));
  EXPECT_TRUE(simulator_.RtspSessions().empty());
  RtspTestClient refused;
  EXPECT_FALSE(Connect(refused));
  HttpTestClient http;
  EXPECT_EQ(http.Get(simulator_.base_url() + "/params/get.cgi?General.Brand.ModelName").status,
            503);
  // Back on the same port: connecting works again, and so does a new session.
  const auto deadline = steady_clock::now() + kGenerousWait;
  RtspTestClient again;
  while (!Connect(again) && steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(100));
  }
  UdpPair udp;
  ASSERT_TRUE(udp.Open(address_));
  ASSERT_FALSE(OpenSession(again, udp).empty());
  EXPECT_FALSE(udp.ReceiveRtp(1, kGenerousWait).empty());
  EXPECT_EQ(http.Get(simulator_.base_url() + "/params/get.cgi?General.Brand.ModelName").status,
            200);
}

TEST_F(RtspTest, StalledReplyWaitsAndEndsWithTheClientOrStop) {
  StartRtsp("127.0.0.124");
  simulator_.AddMediaFault(Fault("rtsp-stall:SETUP:400:1"));
  ASSERT_TRUE(client_.Send(requests_.Describe(1)));
  ASSERT_TRUE(client_.Read(kGenerousWait));
  const auto start = steady_clock::now();
  const std::optional<RtspResponse> setup = client_.Exchange(
      requests_.Setup(2, udp_.rtp_port(), udp_.rtcp_port()), kGenerousWait);
  ASSERT_TRUE(setup);
  EXPECT_EQ(setup->status, 200);
  EXPECT_GE(steady_clock::now() - start, milliseconds(400));
  EXPECT_TRUE(simulator_.MediaFaults().empty());  // the counted fault is used up

  // A long stall ends when the client leaves ...
  simulator_.AddMediaFault(Fault("rtsp-stall:*:60000"));
  RtspTestClient leaving;
  ASSERT_TRUE(Connect(leaving));
  ASSERT_TRUE(leaving.Send(requests_.Options(1, setup->SessionId())));
  ASSERT_TRUE(simulator_.WaitForRtspRequests(3, kGenerousWait));
  leaving.Close();
  EXPECT_TRUE(simulator_.WaitForRtsp(
      [](const camsim::RtspCounters& c) { return c.connections_closed >= 1; }, kGenerousWait));

  // ... and on Stop, long before it would run out.
  ASSERT_TRUE(client_.Send(requests_.Play(3, setup->SessionId())));
  ASSERT_TRUE(simulator_.WaitForRtspRequests(4, kGenerousWait));
  EXPECT_TRUE(client_.ReceiveOnce(milliseconds(300)).empty());
  const auto stop_start = steady_clock::now();
  simulator_.Stop();
  EXPECT_LT(steady_clock::now() - stop_start, milliseconds(30000));
  EXPECT_TRUE(client_.WaitForClose(kGenerousWait));
}

TEST_F(RtspTest, StopWithSessionsRunningEndsEverythingAndStartsAgain) {
  camsim::RtspSettings settings;
  StartRtsp("127.0.0.125", settings);
  std::vector<std::unique_ptr<RtspTestClient>> clients;
  std::vector<std::unique_ptr<UdpPair>> pairs;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<RtspTestClient>());
    pairs.push_back(std::make_unique<UdpPair>());
    ASSERT_TRUE(Connect(*clients.back()));
    ASSERT_TRUE(pairs.back()->Open(address_));
    ASSERT_FALSE(OpenSession(*clients.back(), *pairs.back()).empty());
  }
  ASSERT_TRUE(simulator_.WaitForSentFrames(30, kGenerousWait));
  simulator_.Stop();
  EXPECT_TRUE(simulator_.RtspSessions().empty());
  EXPECT_EQ(simulator_.rtsp_port(), 0);
  for (auto& client : clients) EXPECT_TRUE(client->WaitForClose(kGenerousWait));
  const std::uint64_t sent = simulator_.RtspStats().packets_sent;
  for (auto& pair : pairs) {
    pair->DrainRtp();
    EXPECT_TRUE(pair->ReceiveRtp(1, milliseconds(200)).empty());
  }
  EXPECT_EQ(simulator_.RtspStats().packets_sent, sent);
  EXPECT_EQ(simulator_.RtspStats().sessions_dropped, 3u);

  std::string error;
  ASSERT_TRUE(simulator_.Start(address_, 0, &error)) << error;
  RtspTestClient client;
  UdpPair udp;
  ASSERT_TRUE(Connect(client));
  ASSERT_TRUE(udp.Open(address_));
  ASSERT_FALSE(OpenSession(client, udp).empty());
  EXPECT_FALSE(udp.ReceiveRtp(1, kGenerousWait).empty());
}

TEST_F(RtspTest, AdminPathsTakeMediaFaultsAndShowTheCounters) {
  StartRtsp("127.0.0.126");
  HttpTestClient http;
  const HttpResponse added = http.Get(simulator_.base_url() + "/camsim/faults?add=loss:every:3");
  EXPECT_EQ(added.status, 200);
  EXPECT_NE(added.body.find("loss:every:3\r\n"), std::string::npos) << added.body;
  EXPECT_EQ(http.Get(simulator_.base_url() + "/camsim/faults?add=loss:200%").status, 400);
  ASSERT_FALSE(OpenSession(client_, udp_).empty());
  ASSERT_TRUE(simulator_.WaitForSentFrames(10, kGenerousWait));
  const HttpResponse counters = http.Get(simulator_.base_url() + "/camsim/rtsp");
  EXPECT_EQ(counters.status, 200);
  EXPECT_NE(counters.body.find("sessions_created=1\r\n"), std::string::npos) << counters.body;
  EXPECT_NE(counters.body.find("requests=3\r\n"), std::string::npos) << counters.body;
  EXPECT_EQ(counters.body.find("packets_dropped=0\r\n"), std::string::npos) << counters.body;
  EXPECT_EQ(http.Get(simulator_.base_url() + "/camsim/faults?clear").body, "");
  EXPECT_TRUE(simulator_.MediaFaults().empty());
  EXPECT_EQ(http.Get(simulator_.base_url() + "/camsim/restart?ms=200").status, 200);
  EXPECT_TRUE(simulator_.WaitForRtsp(
      [](const camsim::RtspCounters& c) { return c.restarts == 1; }, kGenerousWait));
  EXPECT_EQ(http.Get(simulator_.base_url() + "/camsim/restart?ms=x").status, 400);
}

TEST(RtspStartTest, FailsCleanlyWithoutAClipOrAPort) {
  camsim::Simulator simulator;
  camsim::RtspSettings settings;
  settings.enabled = true;
  settings.port = 0;
  settings.clip_path = "/nonexistent/clip.h264";
  simulator.SetRtspSettings(settings);
  std::string error;
  EXPECT_FALSE(simulator.Start("127.0.0.127", 0, &error));
  EXPECT_NE(error.find("/nonexistent/clip.h264"), std::string::npos) << error;
  EXPECT_FALSE(simulator.running());

  // A port another simulator holds.
  camsim::Simulator holder;
  settings.clip_path.clear();
  holder.SetRtspSettings(settings);
  ASSERT_TRUE(holder.Start("127.0.0.127", 0, &error)) << error;
  settings.port = holder.rtsp_port();
  simulator.SetRtspSettings(settings);
  EXPECT_FALSE(simulator.Start("127.0.0.127", 0, &error));
  EXPECT_NE(error.find(std::to_string(settings.port)), std::string::npos) << error;
  EXPECT_FALSE(simulator.running());
  holder.Stop();
}

TEST(DropPacketTest, DropsTheNamedPacketOfEachStream) {
  const std::string address = "127.0.0.42";
  for (const char* stream : {"h264", "mjpeg", "mpeg4"}) {
    SCOPED_TRACE(stream);
    camsim::Simulator simulator;
    ASSERT_TRUE(StartWithRtsp(simulator, address, {}));
    simulator.AddMediaFault(Fault("drop-packet:1:1"));
    simulator.AddMediaFault(Fault("drop-packet:2:last"));
    // Markers arrive for frames 0, 1, 3 and 4; frame 2 loses its own.
    const std::optional<PlayedSession> played = PlaySession(simulator, address, stream, 4);
    ASSERT_TRUE(played);
    const std::vector<camsim::SentFrame>& frames = played->frames;
    ASSERT_GE(frames.size(), 5u);
    ASSERT_GE(frames[1].packets, 2u);
    ASSERT_GE(frames[2].packets, 2u);
    std::vector<std::uint16_t> expected;
    const auto end = static_cast<std::uint16_t>(frames[4].last_sequence + 1);
    for (std::uint16_t s = frames[0].first_sequence; s != end; ++s) {
      if (s != static_cast<std::uint16_t>(frames[1].first_sequence + 1) &&
          s != frames[2].last_sequence) {
        expected.push_back(s);
      }
    }
    std::vector<std::uint16_t> received;
    for (const RtpView& packet : played->packets) received.push_back(packet.sequence);
    EXPECT_EQ(received, expected);
    EXPECT_EQ(simulator.RtspStats().packets_dropped, 2u);
    simulator.Stop();
  }
}

}  // namespace
}  // namespace camsim_test
