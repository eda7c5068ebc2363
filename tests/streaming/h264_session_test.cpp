// The H.264 channel against the camera simulator: sessions, keep-alive, faults and stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "camsim/media_faults.h"
#include "session_fixture.h"
#include "streaming/encoder_configuration.h"

namespace kalmora {
namespace {

using namespace std::chrono_literals;
using testing::EndsWithDelimiter;
using testing::FirstNalType;
using testing::FrameRecorder;
using testing::SessionTest;
using tessavirn_test::WaitFor;

using H264Session = SessionTest;

TEST_F(H264Session, StreamsWholeFramesAndTearsTheSessionDownOnStop) {
  StartCamera("127.0.0.90");
  FrameRecorder frames;
  ASSERT_TRUE(StartChannel(0, frames));
  ASSERT_TRUE(WaitFor([&] { return frames.count() >= 60; }, 15s)) << frames.count() << " frames";
  EXPECT_EQ(State(0), ipcapture::kChannelStreaming);
  ASSERT_TRUE(capture_->StopChannel(0));
  const std::size_t delivered = frames.count();

  const auto received = frames.frames();
  EXPECT_EQ(received.front().type, ipcapture::kFrameTypeH264);
  std::size_t keys = 0;
  for (const auto& f : received) {
    EXPECT_TRUE(EndsWithDelimiter(f.data));
    if (f.type == ipcapture::kFrameTypeH264) {
      ++keys;
      EXPECT_EQ(FirstNalType(f.data), 7) << "a key frame begins with the parameter sets";
    } else {
      EXPECT_EQ(f.type, ipcapture::kFrameTypeH264Delta);
    }
  }
  EXPECT_GE(keys, 2u);

  // Nothing lost on loopback: every picture the simulator sent arrived, but for one in flight.
  ASSERT_TRUE(WaitFor([&] { return sim_.RtspStats().sessions_torn_down == 1; }, 5s));
  const auto stats = sim_.RtspStats();
  EXPECT_LE(stats.frames_sent, delivered + 1);
  EXPECT_GE(stats.receiver_reports_received, 1u) << "the responder answers the sender reports";
  EXPECT_EQ(stats.last_receiver_report.size(), 68u);

  const auto log = sim_.RtspLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].method, "DESCRIBE");
  EXPECT_EQ(log[1].method, "SETUP");
  EXPECT_EQ(log[2].method, "PLAY");
  EXPECT_EQ(log[3].method, "TEARDOWN");
  EXPECT_EQ(log[0].url, "rtsp://127.0.0.90:554/VideoInput/1/h264/1");
  EXPECT_FALSE(log[2].session.empty());
  EXPECT_EQ(log[3].session, log[2].session);
  EXPECT_EQ(log[0].connection_id, log[3].connection_id);
  EXPECT_NE(LogLines("Camera 127.0.0.90 is online"), 0u);
  EXPECT_EQ(LogLines("Camera 127.0.0.90 is offline. Channel was stopped"), 1u);
}

TEST_F(H264Session, EncoderIsConfiguredBeforeEverySessionOnOneConnection) {
  StartCamera("127.0.0.91");
  FrameRecorder frames;
  ASSERT_TRUE(StartChannel(0, frames));
  ASSERT_TRUE(WaitFor([&] { return frames.count() >= 1; }, 15s));

  EncoderInputs inputs;
  inputs.input = 1;
  inputs.width = 640;
  inputs.height = 480;
  inputs.quality = 60;
  inputs.frame_interval_ms = 40;
  inputs.min_bitrate = "500";
  inputs.max_bitrate = "8000";
  inputs.media_type_option = "1";
  StreamProfile profile = H264StreamProfile();
  const auto expected = BuildEncoderRequests(inputs, profile);
  EXPECT_EQ(profile.bitrate, 2166u);
  const auto http = sim_.RequestLog();
  ASSERT_EQ(http.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(http[i].method, expected[i].verb);
    std::string path = expected[i].path[0] == '/' ? expected[i].path : "/" + expected[i].path;
    // The paths are plain text; the client escapes their spaces on the wire.
    for (std::size_t space = path.find(' '); space != std::string::npos; space = path.find(' ', space)) {
      path.replace(space, 1, "%20");
    }
    EXPECT_EQ(http[i].target, path);
    EXPECT_EQ(http[i].body, expected[i].body);
    EXPECT_EQ(http[i].connection_id, http[0].connection_id);
  }
  EXPECT_EQ(http[0].target, "/params/set.cgi?Video-1.Encoder-4.MediaSubType=H264");
  // The RTSP requests came after the configuration.
  EXPECT_EQ(Requests("DESCRIBE").size(), 1u);
}

TEST_F(H264Session, TheStandardDialectStreamsToo) {
  camsim::RtspSettings rtsp;
  rtsp.dialect = camsim::RtspDialect::kStandard;
  StartCamera("127.0.0.92", rtsp);
  FrameRecorder frames;
  ASSERT_TRUE(StartChannel(0, frames));
  ASSERT_TRUE(WaitFor([&] { return frames.count() >= 30; }, 15s)) << frames.count() << " frames";
  EXPECT_EQ(frames.frames().front().type, ipcapture::kFrameTypeH264);
  const auto play = Requests("PLAY");
  ASSERT_EQ(play.size(), 1u);
  EXPECT_EQ(play[0].session.substr(0, 2), "00") << "the id went back as the camera sent it";
}

TEST_F(H264Session, TwoPercentLossCostsFramesButTheStreamGoesOn) {
  StartCamera("127.0.0.93");
  camsim::MediaFault loss;
  loss.kind = camsim::MediaFaultKind::kLoss;
  loss.percent = 2;
  loss.seed = 7;
  sim_.AddMediaFault(loss);
  FrameRecorder frames;
  ASSERT_TRUE(StartChannel(0, frames));
  ASSERT_TRUE(WaitFor([&] { return sim_.RtspStats().frames_sent >= 150; }, 20s));
  const std::size_t before = frames.count();
  ASSERT_TRUE(WaitFor([&] { return frames.count() >= before + 25; }, 5s)) << "frames stopped";
  capture_->StopChannel(0);

  const auto stats = sim_.RtspStats();
  const std::size_t delivered = frames.count();
  EXPECT_GT(stats.packets_dropped, 0u);
  EXPECT_LT(delivered, stats.frames_sent) << "damaged frames are not delivered";
  EXPECT_GE(delivered * 10, stats.frames_sent * 6);
  for (const auto& f : frames.frames()) EXPECT_TRUE(EndsWithDelimiter(f.data));
  EXPECT_EQ(LogLines("Signal was lost"), 0u);
  EXPECT_EQ(frames.no_signal(), 0);
  EXPECT_EQ(stats.sessions_created, 1u);
}

TEST_F(H264Session, ACameraRestartIsReportedOnceAndStreamingResumesByItself) {
  StartCamera("127.0.0.94", {}, "ptz_dome", "1000");  // signal lost after 2 s, quiet re-open after 1.2 s
  FrameRecorder frames;
  ASSERT_TRUE(StartChannel(0, frames));
  ASSERT_TRUE(WaitFor([&] { return frames.count() >= 20; }, 15s));
  sim_.Restart(4000ms);
  const auto restarted = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] { return State(0) == ipcapture::kChannelSignalLost; }, 5s));
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto all = frames.frames();
        return all.back().arrived > restarted + 4000ms && State(0) == ipcapture::kChannelStreaming;
      },
      20s));
  const std::size_t after = frames.count();
  ASSERT_TRUE(WaitFor([&] { return frames.count() >= after + 10; }, 5s));

  EXPECT_EQ(LogLines("Signal was lost for camera 127.0.0.94 (channel 0)"), 1u);
  EXPECT_EQ(frames.no_signal(), 1);
  EXPECT_EQ(LogLines("Camera 127.0.0.94 is online"), 2u);
  EXPECT_GE(sim_.RtspStats().sessions_created, 2u);
  // The stream after the restart starts with a key frame again.
  for (const auto& f : frames.frames()) {
    if (f.arrived > restarted + 4000ms) {
      EXPECT_EQ(f.type, ipcapture::kFrameTypeH264);
      break;
    }
  }
}

// The time-out comes in the SETUP reply only; the bare Session headers after it must not put the
// 60 s default back (which let this camera expire the session three times in 40 s).
TEST_F(H264Session, ASixSecondSessionAnnouncedInSetupOnlyIsKeptAliveForThirtySeconds) {
  camsim::RtspSettings rtsp;
  rtsp.session_timeout_s = 6;
  rtsp.timeout_in_setup_only = true;
  StartCamera("127.0.0.95", rtsp);
  FrameRecorder frames;
  ASSERT_TRUE(StartChannel(0, frames));
  ASSERT_TRUE(WaitFor([&] { return frames.count() >= 1; }, 15s));
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(30s);
  const std::size_t before = frames.count();
  ASSERT_TRUE(WaitFor([&] { return frames.count() > before + 5; }, 3s)) << "the session ended";
  const auto elapsed = std::chrono::steady_clock::now() - start;

  const auto stats = sim_.RtspStats();
  EXPECT_EQ(stats.sessions_expired, 0u);
  EXPECT_EQ(stats.sessions_created, 1u);
  const auto options = Requests("OPTIONS");
  EXPECT_GE(options.size(), 8u);
  EXPECT_LE(static_cast<double>(options.size()), std::chrono::duration<double>(elapsed).count() / 2.5 + 1);
  for (std::size_t i = 1; i < options.size(); ++i) {
    const auto gap = options[i].received - options[i - 1].received;
    EXPECT_GT(gap, 2500ms);
    EXPECT_LT(gap, 5000ms) << "keep-alive " << i;
  }
  EXPECT_EQ(State(0), ipcapture::kChannelStreaming);
}

TEST_F(H264Session, StopIsPromptWhileTheCameraStallsAReply) {
  StartCamera("127.0.0.96");
  camsim::MediaFault stall;
  stall.kind = camsim::MediaFaultKind::kReplyStall;
  stall.method = "SETUP";
  stall.ms = 20000;
  sim_.AddMediaFault(stall);
  FrameRecorder frames;
  ASSERT_TRUE(StartChannel(0, frames));
  ASSERT_TRUE(WaitFor([&] { return !Requests("SETUP").empty(); }, 15s));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(capture_->StopChannel(0));
  // Far below the stalled 20 s, and below the 2 s receive time-out the abort cuts short.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
  EXPECT_EQ(frames.count(), 0u);
}

TEST_F(H264Session, ARestartedChannelReplacesItsSessionAndClosingStopsEveryChannel) {
  StartCamera("127.0.0.97", {}, "encoder_4ch");
  FrameRecorder first;
  FrameRecorder second;
  FrameRecorder other_input;
  ASSERT_TRUE(StartChannel(0, first));
  ASSERT_TRUE(WaitFor([&] { return first.count() >= 5; }, 15s));
  ASSERT_TRUE(StartChannel(0, second));  // the same channel again: the old one goes first
  ASSERT_TRUE(StartChannel(2, other_input));
  ASSERT_TRUE(WaitFor([&] { return second.count() >= 5 && other_input.count() >= 5; }, 15s));
  const std::size_t first_final = first.count();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(first.count(), first_final) << "the replaced channel delivers nothing more";

  const auto describes = Requests("DESCRIBE");
  ASSERT_EQ(describes.size(), 3u);
  EXPECT_EQ(std::count_if(describes.begin(), describes.end(),
                          [](const auto& r) { return r.url == "rtsp://127.0.0.97:554/VideoInput/3/h264/1"; }),
            1);
  EXPECT_EQ(Requests("TEARDOWN").size(), 1u);

  driver_->driver.Close();
  driver_.reset();
  EXPECT_EQ(Requests("TEARDOWN").size(), 3u);
  EXPECT_TRUE(sim_.RtspSessions().empty());
}

}  // namespace
}  // namespace kalmora
