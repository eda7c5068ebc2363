// Several channels and cameras in one recording, end to end: camsim programs serve the cameras,
// one tessavirn program records them all through the built libtessavirn.so, and each channel's
// file is checked against what the simulator sent and by FFmpeg's decoder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "child_program.h"
#include "run_command.h"

namespace {

using tessavirn_test::ChildProgram;
using tessavirn_test::ReadText;
using tessavirn_test::RunCommand;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Pictures (not parameter-set units) the simulator sent, per RTSP session.
std::map<std::string, std::size_t> PicturesPerSession(const std::string& sent_log) {
  std::map<std::string, std::size_t> pictures;
  std::istringstream in(ReadText(sent_log));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string index, session, rtp_time, idr, header;
    if (fields >> index >> session >> rtp_time >> idr >> header && header == "0") ++pictures[session];
  }
  return pictures;
}

// The lengths of a frame log's frames.
std::vector<std::size_t> FrameLengths(const std::string& path) {
  std::vector<std::size_t> lengths;
  std::istringstream in(ReadText(path));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    long long index = 0, ns = 0;
    std::size_t length = 0;
    if (fields >> index >> ns >> length) lengths.push_back(length);
  }
  return lengths;
}

// The recording of one channel is whole: its frames byte for byte (less the last delimiter,
// which is left out), and FFmpeg decodes nearly every one. Returns the number of frames.
std::size_t CheckChannelFile(const std::string& video, const std::string& frame_log, const std::string& name) {
  const auto frames = FrameLengths(frame_log);
  std::size_t logged = 0;
  for (const std::size_t length : frames) logged += length;
  EXPECT_EQ(logged, ReadText(video).size() + (frames.empty() ? 0 : 5)) << name;
  const auto check = RunCommand(std::string(RECORD_CHECK_SCRIPT) + " " + video + " " +
                                std::to_string(frames.size() * 99 / 100));
  EXPECT_EQ(check.exit_code, 0) << name << ": " << check.output;
  return frames.size();
}

class RecordChannels : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "record_channels_" + std::to_string(getpid());
    ASSERT_EQ(RunCommand("mkdir -p " + dir_).exit_code, 0);
  }
  void TearDown() override { RunCommand("rm -rf " + dir_); }

  // tessavirn record with the given cameras and channel options, the stream settings of the
  // simulator's default clip, files in the test's folder; bounded by timeout.
  tessavirn_test::CommandResult Record(const std::string& targets, int seconds) const {
    return RunCommand("timeout -s KILL 90 " + std::string(TESSAVIRN_PROGRAM) + " record " + targets +
                      " --stream h264 --param 4=500 --param 5=8000 --size 640x480 --interval 40 --seconds " +
                      std::to_string(seconds) + " --quiet --out " + dir_ + "/rec.h264 --frame-log " + dir_ +
                      "/frames.log");
  }

  std::string dir_;
};

TEST_F(RecordChannels, TwoInputsOfTheEncoderEachRecordTheirOwnSession) {
  const char* address = "127.0.0.188";
  const std::string sent_log = dir_ + "/sent.log";
  ChildProgram camera({CAMSIM_PROGRAM, "--profile", "encoder_4ch", "--addr", address, "--port", "80", "--frame-log",
                       sent_log},
                      {}, dir_ + "/camsim.out");
  ASSERT_TRUE(camera.started());
  ASSERT_TRUE(tessavirn_test::WaitForListener(address, 554, std::chrono::seconds(10))) << camera.Output();

  const auto record = Record("--address " + std::string(address) + " --channels 0-1", 8);
  camera.Signal(SIGTERM);
  EXPECT_EQ(camera.Wait(), 0) << camera.Output();
  ASSERT_EQ(record.exit_code, 0) << record.output;

  // Two sessions, one per channel, each streaming the whole time.
  const auto sessions = PicturesPerSession(sent_log);
  ASSERT_EQ(sessions.size(), 2u) << ReadText(sent_log).substr(0, 2000);
  std::vector<std::size_t> sent;
  for (const auto& [session, pictures] : sessions) {
    EXPECT_GT(pictures, 150u) << "session " << session << ": eight seconds at 25 frames per second";
    sent.push_back(pictures);
  }
  std::vector<std::size_t> recorded;
  std::size_t total = 0;
  for (const char* channel : {"0", "1"}) {
    const std::string tag = std::string("-") + address + "-ch" + channel;
    const std::string name = std::string(address) + " channel " + channel;
    const std::size_t frames = CheckChannelFile(dir_ + "/rec" + tag + ".h264", dir_ + "/frames" + tag + ".log", name);
    EXPECT_TRUE(Has(record.output, "summary of " + name + ":\n  frames:             " + std::to_string(frames) + " ("))
        << record.output;
    recorded.push_back(frames);
    total += frames;
  }
  // Each file holds one session's pictures, not both and not a share of each: its count is that
  // of a session, less at most 1 % (the first pictures before a key frame, the last one in flight).
  std::sort(sent.begin(), sent.end());
  std::sort(recorded.begin(), recorded.end());
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_LE(recorded[i], sent[i]) << "channel with the " << (i == 0 ? "fewer" : "more") << " frames";
    EXPECT_GE(recorded[i] * 100, sent[i] * 99) << "sent " << sent[i] << ", recorded " << recorded[i];
  }
  EXPECT_TRUE(Has(record.output, "total:\n  channels:           2, 2 with frames\n  frames:             " +
                                     std::to_string(total) + " ("))
      << record.output;
  // The recorder's own check of every frame's structure found nothing.
  EXPECT_NE(record.output.find("damaged frames:     0\n", record.output.find("total:")), std::string::npos)
      << record.output;
  EXPECT_TRUE(Has(record.output, "  longest stop:       ")) << record.output;
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/rec.h264"));
}

TEST_F(RecordChannels, ACameraThatIsNotThereIsNamedAndTheOtherStillRecords) {
  const char* live = "127.0.0.189";
  const char* dead = "127.0.0.190";  // nothing listens there
  ChildProgram camera({CAMSIM_PROGRAM, "--profile", "ptz_dome", "--addr", live, "--port", "80"}, {},
                      dir_ + "/camsim.out");
  ASSERT_TRUE(camera.started());
  ASSERT_TRUE(tessavirn_test::WaitForListener(live, 554, std::chrono::seconds(10))) << camera.Output();

  const auto record = Record("--address " + std::string(live) + " --address " + dead, 5);
  camera.Signal(SIGTERM);
  EXPECT_EQ(camera.Wait(), 0) << camera.Output();
  EXPECT_EQ(record.exit_code, 1) << record.output;

  const std::string live_tag = std::string("-") + live + "-ch0";
  const std::size_t frames =
      CheckChannelFile(dir_ + "/rec" + live_tag + ".h264", dir_ + "/frames" + live_tag + ".log", live);
  EXPECT_GT(frames, 75u) << "five seconds at 25 frames per second, less the start";
  const std::string dead_tag = std::string("-") + dead + "-ch0";
  EXPECT_EQ(std::filesystem::file_size(dir_ + "/rec" + dead_tag + ".h264"), 0u);
  EXPECT_EQ(ReadText(dir_ + "/frames" + dead_tag + ".log"), "");

  // The dead camera is named, with what the host found there; the live one is not blamed.
  EXPECT_TRUE(Has(record.output, std::string("tessavirn: ") + dead + " channel 0: no frame arrived\n")) << record.output;
  EXPECT_TRUE(Has(record.output, std::string("tessavirn: ") + dead + ": port 80 (HTTP) refuses connections"))
      << record.output;
  EXPECT_FALSE(Has(record.output, std::string("tessavirn: ") + live)) << record.output;
  EXPECT_TRUE(Has(record.output, "total:\n  channels:           2, 1 with frames\n")) << record.output;
  EXPECT_TRUE(Has(record.output, "tessavirn: 1 of 2 channels recorded frames")) << record.output;
}

}  // namespace
