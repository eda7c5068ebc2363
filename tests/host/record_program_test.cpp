// The record command as a user runs it, with a stand-in driver library that delivers the frames
// of an H.264 clip through the host interfaces, so everything after the driver's frame callback
// is exercised: files, frame log, progress, signals, summary figures and exit status.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "child_program.h"

namespace {

using tessavirn_test::ChildProgram;
using tessavirn_test::ReadText;
using tessavirn_test::WaitFor;

const std::string kProgram = TESSAVIRN_PROGRAM;
const std::string kFakeDriver = TESSAVIRN_FAKE_DRIVER;
const std::string kRecordCheck = TESSAVIRN_RECORD_CHECK;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class RecordProgram : public ::testing::Test {
 protected:
  // One clip for the suite: 50 frames of 320x240 at 25 per second, a key frame every tenth.
  static void SetUpTestSuite() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessavirn-clip-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    clip_dir_ = pattern;
    const std::string clip = (clip_dir_ / "clip.h264").string();
    const int status = std::system(("ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=320x240:rate=25 -t 2 "
                                    "-c:v libx264 -bf 0 -g 10 -x264-params scenecut=0 -threads 1 -f h264 " +
                                    clip)
                                       .c_str());
    ASSERT_EQ(status, 0) << "ffmpeg could not make the test clip";
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(clip_dir_); }

  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessavirn-record-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const char* name) const { return (dir_ / name).string(); }
  static std::string Clip() { return (clip_dir_ / "clip.h264").string(); }

  // The record command on the stand-in driver, with the test's output files.
  std::vector<std::string> Command(std::vector<std::string> extra) const {
    std::vector<std::string> argv = {kProgram,         "record",   "--driver",         kFakeDriver, "--address",
                                     "127.0.0.154",    "--out",    Path("out.h264"), "--frame-log", Path("frames.log"),
                                     "--interval",     "10",       "--size",           "320x240"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }

  std::size_t FrameLogLines() const { return Lines(ReadText(Path("frames.log"))).size(); }

  static std::filesystem::path clip_dir_;
  std::filesystem::path dir_;
};

std::filesystem::path RecordProgram::clip_dir_;

TEST_F(RecordProgram, RecordsEveryFrameAsPlayableAnnexBAndStopsOnSigint) {
  // 40 frames with frame 19 (the last before a key frame) lost on the way: 39 arrive.
  ChildProgram child(Command({"--seconds", "0"}),
                     {"TESSAVIRN_FAKE_CLIP=" + Clip(), "TESSAVIRN_FAKE_FRAMES=40", "TESSAVIRN_FAKE_SKIP=19"},
                     Path("output.txt"));
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(WaitFor([&] { return FrameLogLines() >= 39 && Has(child.Output(), "no-signal notices 1"); }))
      << child.Output();
  child.Signal(SIGINT);
  ASSERT_EQ(child.Wait(), 0) << child.Output();
  const std::string output = child.Output();

  EXPECT_TRUE(Has(output, "[level 3] fake driver opened for 127.0.0.154, parameters 1=5000 2=0 6=0 8=0")) << output;
  EXPECT_TRUE(Has(output, "[level 3] fake channel 0 started: 320x240 every 10 ms, 50 frames in the clip")) << output;
  // Logged while the channel stops and the driver closes, and printed before the summary.
  const auto stopped = output.find("[level 3] fake channel 0 stopped after 39 frames");
  const auto closed = output.find("[level 3] fake driver closed");
  const auto summary = output.find("summary:");
  ASSERT_NE(stopped, std::string::npos) << output;
  ASSERT_NE(closed, std::string::npos) << output;
  ASSERT_NE(summary, std::string::npos) << output;
  EXPECT_LT(stopped, summary);
  EXPECT_LT(closed, summary);

  EXPECT_TRUE(Has(output, "frames:             39 (4 key)\n")) << output;
  EXPECT_TRUE(Has(output, "first frame:        key\n")) << output;
  EXPECT_TRUE(Has(output, "damaged frames:     0\n")) << output;
  EXPECT_TRUE(Has(output, "estimated dropped:  1\n")) << output;
  EXPECT_TRUE(Has(output, "no-signal notices:  1\n")) << output;
  EXPECT_TRUE(Has(output, "time stamp spacing: min 10 ms, median 10.0 ms, max 20 ms over 38 intervals\n")) << output;
  const auto size = std::filesystem::file_size(Path("out.h264"));
  EXPECT_TRUE(Has(output, "file:               " + Path("out.h264") + ", " + std::to_string(size) + " bytes"))
      << output;

  // The frame log: one line per frame in order, its lengths adding up to the file, key frames
  // with the H264 code, time stamps one interval apart except over the lost frame.
  const auto lines = Lines(ReadText(Path("frames.log")));
  ASSERT_EQ(lines.size(), 39u);
  std::uintmax_t total = 0;
  long long previous_stamp = 0;
  long long previous_ns = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::istringstream fields(lines[i]);
    std::size_t index = 0, length = 0;
    long long ns = 0, stamp = 0;
    std::string type;
    int key = -1;
    ASSERT_TRUE(fields >> index >> ns >> length >> type >> key >> stamp) << lines[i];
    EXPECT_EQ(index, i);
    EXPECT_EQ(key, type == "H264" ? 1 : 0) << lines[i];
    EXPECT_TRUE(type == "H264" || type == "I264") << lines[i];
    const std::size_t clip_frame = i < 19 ? i : i + 1;
    EXPECT_EQ(key == 1, clip_frame % 10 == 0) << "frame " << i << " (clip frame " << clip_frame << ")";
    if (i > 0) {
      EXPECT_EQ(stamp - previous_stamp, i == 19 ? 20 : 10) << lines[i];
      EXPECT_GE(ns, previous_ns) << lines[i];
    }
    previous_stamp = stamp;
    previous_ns = ns;
    total += length;
  }
  // The frames byte for byte, but for the last frame's closing delimiter.
  EXPECT_EQ(total, size + 5);
  EXPECT_TRUE(Has(output, "bytes:              " + std::to_string(total) + " in frames\n")) << output;

  // What an H.264 decoder makes of the file.
  const int status = std::system((kRecordCheck + " " + Path("out.h264") + " 39 >" + Path("check.txt") + " 2>&1").c_str());
  EXPECT_EQ(status, 0) << ReadText(Path("check.txt"));
  const std::string figures = ReadText(Path("check.txt"));
  EXPECT_TRUE(Has(figures, "width=320\nheight=240\nnb_read_frames=39")) << figures;
}

TEST_F(RecordProgram, StopsAfterItsSecondsWithAProgressLineEachSecond) {
  const auto argv = Command({"--seconds", "3"});
  ChildProgram child(argv, {"TESSAVIRN_FAKE_CLIP=" + Clip()}, Path("output.txt"));
  ASSERT_EQ(child.Wait(), 0) << child.Output();
  const std::string output = child.Output();
  std::size_t progress = 0;
  for (const auto& line : Lines(output)) {
    if (Has(line, " fps ") && Has(line, "kbit/s  camera streaming")) ++progress;
    EXPECT_FALSE(Has(line, "\r")) << "not a terminal: no rewritten line";
  }
  EXPECT_GE(progress, 1u) << output;
  EXPECT_LE(progress, 3u) << output;
  // Every frame taken is in the file and the log.
  const auto lines = Lines(ReadText(Path("frames.log")));
  EXPECT_GT(lines.size(), 0u);
  EXPECT_TRUE(Has(output, "frames:             " + std::to_string(lines.size()) + " (")) << output;
  EXPECT_TRUE(Has(output, "damaged frames:     0\n")) << output;
  EXPECT_TRUE(Has(output, "estimated dropped:  0\n")) << output;
}

TEST_F(RecordProgram, QuietShowsNoProgressButTheLogAndSummary) {
  ChildProgram child(Command({"--seconds", "2", "--quiet"}), {"TESSAVIRN_FAKE_CLIP=" + Clip()}, Path("output.txt"));
  ASSERT_EQ(child.Wait(), 0) << child.Output();
  const std::string output = child.Output();
  EXPECT_FALSE(Has(output, "kbit/s  camera")) << output;
  EXPECT_TRUE(Has(output, "[level 3] fake driver opened")) << output;
  EXPECT_TRUE(Has(output, "summary:")) << output;
}

TEST_F(RecordProgram, SigtermStopsARecordingThatHasNoFramesYet) {
  // No clip: the channel starts and stays connecting.
  ChildProgram child(Command({"--seconds", "0"}), {}, Path("output.txt"));
  ASSERT_TRUE(WaitFor([&] { return Has(child.Output(), "camera connecting"); })) << child.Output();
  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(), 1) << child.Output();
  const std::string output = child.Output();
  EXPECT_TRUE(Has(output, "frames:             0 (no frames were recorded)")) << output;
  EXPECT_TRUE(Has(output, "no frame arrived")) << output;
  EXPECT_TRUE(Has(output, "[level 3] fake channel 0 deleted")) << output;
}

TEST_F(RecordProgram, AChannelThatDoesNotStartIsStoppedAndExitStatusOne) {
  ChildProgram child(Command({"--seconds", "5"}), {"TESSAVIRN_FAKE_REFUSE_START=1"}, Path("output.txt"));
  EXPECT_EQ(child.Wait(), 1) << child.Output();
  const std::string output = child.Output();
  EXPECT_TRUE(Has(output, "channel 0 did not start")) << output;
  // The refused channel is still removed from the driver's table.
  EXPECT_TRUE(Has(output, "[level 3] fake channel 0 deleted")) << output;
  EXPECT_TRUE(Has(output, "frames:             0 (no frames were recorded)")) << output;
}

TEST_F(RecordProgram, GivenParametersReachTheDriverAndDefaultsFillTheRest) {
  ChildProgram child(Command({"--seconds", "1", "--param", "1=2000", "--param", "8=1"}),
                     {"TESSAVIRN_FAKE_REFUSE_START=1"}, Path("output.txt"));
  EXPECT_EQ(child.Wait(), 1) << child.Output();
  EXPECT_TRUE(Has(child.Output(), "parameters 1=2000 2=0 6=0 8=1")) << child.Output();
}

// The frame log's lines, each parsed into its index and length.
std::vector<std::pair<std::size_t, std::size_t>> LoggedFrames(const std::string& path) {
  std::vector<std::pair<std::size_t, std::size_t>> frames;
  for (const auto& line : Lines(ReadText(path))) {
    std::istringstream fields(line);
    std::size_t index = 0, length = 0;
    long long ns = 0;
    if (fields >> index >> ns >> length) frames.emplace_back(index, length);
  }
  return frames;
}

TEST_F(RecordProgram, SeveralCamerasAndChannelsRecordEachToItsOwnFilesAndAllStopOnSigint) {
  // Channel N of the stand-in stops N frames early: 30 frames on channel 0, 28 on channel 2.
  std::vector<std::string> argv = Command({"--seconds", "0", "--address", "127.0.0.155", "--channels", "2,0"});
  ChildProgram child(argv, {"TESSAVIRN_FAKE_CLIP=" + Clip(), "TESSAVIRN_FAKE_FRAMES=30"}, Path("output.txt"));
  ASSERT_TRUE(child.started());
  struct Expected {
    const char* address;
    std::uint32_t channel;
    std::size_t frames;
  };
  const Expected expected[] = {
      {"127.0.0.154", 2, 28}, {"127.0.0.154", 0, 30}, {"127.0.0.155", 2, 28}, {"127.0.0.155", 0, 30}};
  const auto file = [&](const Expected& e, const char* name) {
    const std::string path(name);
    const auto dot = path.rfind('.');
    return Path((path.substr(0, dot) + "-" + e.address + "-ch" + std::to_string(e.channel) + path.substr(dot)).c_str());
  };
  ASSERT_TRUE(WaitFor([&] {
    for (const auto& e : expected) {
      if (LoggedFrames(file(e, "frames.log")).size() < e.frames) return false;
    }
    return Has(child.Output(), "no-signal notices 4");
  })) << child.Output();
  child.Signal(SIGINT);
  ASSERT_EQ(child.Wait(), 0) << child.Output();
  const std::string output = child.Output();

  // Nothing went to the single-channel names.
  EXPECT_FALSE(std::filesystem::exists(Path("out.h264")));
  EXPECT_FALSE(std::filesystem::exists(Path("frames.log")));
  EXPECT_TRUE(Has(output, "recording 4 channels (320x240, 10 ms between frames, quality 60) for as long as it runs"))
      << output;
  // Each camera's log lines say whose they are.
  EXPECT_TRUE(Has(output, "127.0.0.155: [level 3] fake driver opened for 127.0.0.155")) << output;
  EXPECT_TRUE(Has(output, "127.0.0.154: [level 3] fake channel 2 deleted")) << output;
  std::uint64_t total_bytes = 0;
  for (const auto& e : expected) {
    const std::string name = std::string(e.address) + " channel " + std::to_string(e.channel);
    const auto frames = LoggedFrames(file(e, "frames.log"));
    ASSERT_EQ(frames.size(), e.frames) << name;
    std::size_t logged = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].first, i) << name;
      logged += frames[i].second;
    }
    const std::string video = file(e, "out.h264");
    const auto size = std::filesystem::file_size(video);
    EXPECT_EQ(logged, size + 5) << name << ": the frames byte for byte, but the last delimiter";
    total_bytes += logged;
    // The channel's own block, naming its own file and frame count.
    const auto block = output.find("summary of " + name + ":\n  frames:             " + std::to_string(e.frames) + " (");
    ASSERT_NE(block, std::string::npos) << name << "\n" << output;
    EXPECT_NE(output.find("file:               " + video + ", " + std::to_string(size) + " bytes", block),
              std::string::npos)
        << output;
    const int status =
        std::system((kRecordCheck + " " + video + " " + std::to_string(e.frames) + " >" + Path("check.txt") + " 2>&1").c_str());
    EXPECT_EQ(status, 0) << name << ": " << ReadText(Path("check.txt"));
  }
  EXPECT_TRUE(Has(output, "total:\n  channels:           4, 4 with frames\n  frames:             116 (")) << output;
  EXPECT_TRUE(Has(output, "bytes:              " + std::to_string(total_bytes) + " in frames")) << output;
  EXPECT_TRUE(Has(output, "  longest stop:       ")) << output;
  EXPECT_FALSE(Has(output, "tessavirn: ")) << output;
}

TEST_F(RecordProgram, AChannelThatDoesNotStartIsNamedWhileTheOthersRecord) {
  ChildProgram child(Command({"--seconds", "2", "--channels", "0-1"}),
                     {"TESSAVIRN_FAKE_CLIP=" + Clip(), "TESSAVIRN_FAKE_REFUSE_CHANNEL=1"}, Path("output.txt"));
  EXPECT_EQ(child.Wait(), 1) << child.Output();
  const std::string output = child.Output();
  EXPECT_TRUE(Has(output, "tessavirn: 127.0.0.154 channel 1: did not start\n")) << output;
  EXPECT_TRUE(Has(output, "tessavirn: 1 of 2 channels recorded frames\n")) << output;
  EXPECT_FALSE(Has(output, "channel 0: ")) << output;
  // The progress line counts the one channel that streams; the refused one is still removed.
  EXPECT_TRUE(Has(output, "1 of 2 channels streaming")) << output;
  EXPECT_TRUE(Has(output, "[level 3] fake channel 1 deleted")) << output;
  EXPECT_TRUE(Has(output, "summary of 127.0.0.154 channel 1:\n  frames:             0 (no frames were recorded)"))
      << output;
  EXPECT_GT(LoggedFrames(Path("frames-127.0.0.154-ch0.log")).size(), 0u);
  EXPECT_GT(std::filesystem::file_size(Path("out-127.0.0.154-ch0.h264")), 0u);
  EXPECT_EQ(std::filesystem::file_size(Path("out-127.0.0.154-ch1.h264")), 0u);
}

TEST_F(RecordProgram, MalformedChannelListsAndCamerasAreExitStatusTwo) {
  struct Row {
    std::vector<std::string> arguments;
    const char* message;
  };
  const Row rows[] = {
      {{"--channel", "1", "--channels", "0-1"}, "give --channel or --channels, not both"},
      {{"--channels", "3-1"}, "--channels: the range \"3-1\" runs backwards"},
      {{"--address", "127.0.0.154"}, "--address 127.0.0.154 is given twice"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> argv = Command({"--seconds", "1"});
    argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
    ChildProgram child(argv, {"TESSAVIRN_FAKE_CLIP=" + Clip()}, Path("output.txt"));
    EXPECT_EQ(child.Wait(), 2) << row.message << ": " << child.Output();
    EXPECT_TRUE(Has(child.Output(), row.message)) << child.Output();
    EXPECT_FALSE(Has(child.Output(), "fake driver opened")) << child.Output();
  }
  // Nothing was recorded or even created for a refused command line.
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) files += entry.path().filename() != "output.txt";
  EXPECT_EQ(files, 0u);
}

}  // namespace
