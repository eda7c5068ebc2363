// Live H.264 end to end: the camsim program serves a camera, the tessavirn program records from it
// through the built libtessavirn.so, and the recording is checked against what the simulator says
// it sent and by FFmpeg's decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_program.h"
#include "run_command.h"

namespace {

using tessavirn_test::ChildProgram;
using tessavirn_test::RunCommand;

struct SentFrame {
  long index = 0;
  std::string session;
  std::uint64_t rtp_time_stamp = 0;
  bool idr = false;
  bool header = false;
  std::size_t length = 0;
};

struct RecordedFrame {
  long index = 0;
  std::uint64_t callback_ns = 0;
  std::size_t length = 0;
  std::string type;
  bool key = false;
  std::int64_t time_stamp_ms = 0;
};

std::vector<SentFrame> ReadSentFrames(const std::string& path) {
  std::vector<SentFrame> frames;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    SentFrame f;
    std::uint64_t marker_ns = 0;
    int idr = 0;
    int header = 0;
    if (fields >> f.index >> f.session >> f.rtp_time_stamp >> idr >> header >> f.length >> marker_ns) {
      f.idr = idr != 0;
      f.header = header != 0;
      frames.push_back(f);
    }
  }
  return frames;
}

std::vector<RecordedFrame> ReadRecordedFrames(const std::string& path) {
  std::vector<RecordedFrame> frames;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    RecordedFrame f;
    int key = 0;
    if (fields >> f.index >> f.callback_ns >> f.length >> f.type >> key >> f.time_stamp_ms) {
      f.key = key != 0;
      frames.push_back(f);
    }
  }
  return frames;
}

// The NAL unit type after the first start code.
int FirstNalType(const std::string& frame) {
  const std::size_t at = frame.compare(0, 4, std::string("\0\0\0\1", 4)) == 0 ? 4 : 3;
  return at < frame.size() ? static_cast<unsigned char>(frame[at]) & 0x1F : -1;
}

class RecordStream : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "record_stream_" + std::to_string(getpid());
    ASSERT_EQ(RunCommand("mkdir -p " + dir_).exit_code, 0);
  }
  void TearDown() override { RunCommand("rm -rf " + dir_); }

  std::string dir_;
};

TEST_F(RecordStream, TenSecondsOfH264DecodeAndMatchWhatTheCameraSent) {
  const char* address = "127.0.0.10";
  const std::string sent_log = dir_ + "/sent.log";
  ChildProgram camera({CAMSIM_PROGRAM, "--profile", "ptz_dome", "--addr", address, "--port", "80",
                       "--frame-log", sent_log},
                      {}, dir_ + "/camsim.out");
  ASSERT_TRUE(camera.started());
  ASSERT_TRUE(tessavirn_test::WaitForListener(address, 554, std::chrono::seconds(10)))
      << camera.Output();

  const std::string out = dir_ + "/record.h264";
  const std::string recorded_log = dir_ + "/recorded.log";
  const auto record = RunCommand(std::string(TESSAVIRN_PROGRAM) + " record --address " + address +
                                 " --stream h264 --param 4=500 --param 5=8000 --size 640x480 --interval 40"
                                 " --seconds 10 --quiet --out " + out + " --frame-log " + recorded_log);
  camera.Signal(SIGTERM);
  EXPECT_EQ(camera.Wait(), 0) << camera.Output();
  ASSERT_EQ(record.exit_code, 0) << record.output;

  const auto sent_all = ReadSentFrames(sent_log);
  std::vector<SentFrame> sent;
  for (const auto& f : sent_all) {
    if (!f.header) sent.push_back(f);
  }
  const auto recorded = ReadRecordedFrames(recorded_log);
  ASSERT_GT(sent.size(), 200u) << "ten seconds at 25 frames per second";
  EXPECT_GE(recorded.size() * 100, sent.size() * 99) << "sent " << sent.size() << ", recorded " << recorded.size();
  ASSERT_FALSE(recorded.empty());
  EXPECT_TRUE(recorded.front().key);

  // Every frame whole: cut the file along the logged lengths.
  const std::string stream = tessavirn_test::ReadText(out);
  std::size_t at = 0;
  std::size_t keys = 0;
  const std::string delimiter("\0\0\1\x09\x30", 5);
  for (std::size_t i = 0; i < recorded.size(); ++i) {
    const auto& f = recorded[i];
    // The program leaves out the delimiter that closes the last frame, so the file ends on a
    // whole access unit for decoders.
    const bool last = i + 1 == recorded.size();
    const std::size_t in_file = last ? f.length - delimiter.size() : f.length;
    ASSERT_LE(at + in_file, stream.size());
    const std::string frame = stream.substr(at, in_file);
    at += in_file;
    if (!last) {
      ASSERT_GE(frame.size(), delimiter.size());
      EXPECT_EQ(frame.substr(frame.size() - delimiter.size()), delimiter) << "frame " << f.index;
    }
    if (f.key) {
      ++keys;
      EXPECT_EQ(FirstNalType(frame), 7) << "key frame " << f.index << " does not begin with its parameter sets";
    }
  }
  EXPECT_EQ(at, stream.size());
  EXPECT_GE(keys, 9u);

  // The frame time stamps advance by the stream's frame interval.
  std::vector<std::int64_t> steps;
  for (std::size_t i = 1; i < recorded.size(); ++i) {
    steps.push_back(recorded[i].time_stamp_ms - recorded[i - 1].time_stamp_ms);
  }
  ASSERT_FALSE(steps.empty());
  std::vector<std::int64_t> sorted = steps;
  std::sort(sorted.begin(), sorted.end());
  const std::int64_t median = sorted[sorted.size() / 2];
  EXPECT_GE(median, 38);
  EXPECT_LE(median, 42);
  const auto near = std::count_if(steps.begin(), steps.end(), [](std::int64_t s) { return s >= 30 && s <= 50; });
  EXPECT_GE(static_cast<std::size_t>(near) * 100, steps.size() * 95);
  EXPECT_TRUE(std::all_of(steps.begin(), steps.end(), [](std::int64_t s) { return s > 0; }));

  // FFmpeg's decoder reads every frame without an error.
  const auto probe = RunCommand(std::string(RECORD_CHECK_SCRIPT) + " " + out + " " +
                                std::to_string(recorded.size() * 99 / 100));
  EXPECT_EQ(probe.exit_code, 0) << probe.output;
}

}  // namespace
