#include "record_report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/types.h"

namespace tessavirn_host {
namespace {

std::string Written(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ChannelStateName, EveryStateOfTheDriver) {
  EXPECT_STREQ(ChannelStateName(kalmora::ipcapture::kChannelStreaming), "streaming");
  EXPECT_STREQ(ChannelStateName(kalmora::ipcapture::kChannelConnecting), "connecting");
  EXPECT_STREQ(ChannelStateName(kalmora::ipcapture::kChannelSignalLost), "signal lost");
  EXPECT_STREQ(ChannelStateName(kalmora::ipcapture::kChannelStopped), "stopped");
  EXPECT_STREQ(ChannelStateName(4), "unknown");
  EXPECT_STREQ(ChannelStateName(std::nullopt), "unknown");
}

TEST(FormatProgress, ShowsTheFiguresOfTheLastSecond) {
  ProgressFigures f;
  f.elapsed_s = 3.02;
  f.counters.frames = 75;
  f.counters.key_frames = 3;
  f.last_second = {25.0, 812.5};
  f.state = kalmora::ipcapture::kChannelStreaming;
  const std::string line = FormatProgress(f);
  EXPECT_EQ(line, "   3 s  75 frames (3 key)   25.0 fps     812.5 kbit/s  camera streaming");

  f.counters.no_signal_notices = 2;
  f.new_no_signal = true;
  f.state = kalmora::ipcapture::kChannelSignalLost;
  f.counters.damaged = 1;
  const std::string lost = FormatProgress(f);
  EXPECT_TRUE(Has(lost, "camera signal lost  no-signal notices 2 (NO SIGNAL)  damaged 1")) << lost;
  f.new_no_signal = false;
  EXPECT_FALSE(Has(FormatProgress(f), "NO SIGNAL"));
}

TEST(FormatSummary, ARecordingWithFrames) {
  RecordSummary s;
  s.out_path = "cam.h264";
  s.counters.frames = 250;
  s.counters.key_frames = 10;
  s.counters.frames_by_type = {{kalmora::ipcapture::kFrameTypeH264, 10}, {kalmora::ipcapture::kFrameTypeH264Delta, 240}};
  s.counters.bytes = 1'250'000;
  s.file_bytes = 1'249'995;
  s.counters.damaged = 1;
  s.counters.no_signal_notices = 1;
  s.duration_s = 10;
  s.first_frame_key = true;
  s.first_damage = "frame 17: no coded slice";
  s.spacing = {249, 40, 40, 80, 1};
  const std::string text = FormatSummary(s);
  EXPECT_TRUE(Has(text, "frames:             250 (10 key)\n")) << text;
  EXPECT_TRUE(Has(text, "by type:            H264 10, I264 240\n")) << text;
  EXPECT_TRUE(Has(text, "bytes:              1250000 in frames\n")) << text;
  EXPECT_TRUE(Has(text, "file:               cam.h264, 1249995 bytes (without the closing delimiter of the last frame)\n"))
      << text;
  EXPECT_TRUE(Has(text, "duration:           10.0 s\n")) << text;
  EXPECT_TRUE(Has(text, "average:            25.0 fps, 1000.0 kbit/s\n")) << text;
  EXPECT_TRUE(Has(text, "first frame:        key\n")) << text;
  EXPECT_TRUE(Has(text, "damaged frames:     1 (first: frame 17: no coded slice)\n")) << text;
  EXPECT_TRUE(Has(text, "estimated dropped:  1\n")) << text;
  EXPECT_TRUE(Has(text, "no-signal notices:  1\n")) << text;
  EXPECT_TRUE(Has(text, "time stamp spacing: min 40 ms, median 40.0 ms, max 80 ms over 249 intervals\n")) << text;
  EXPECT_FALSE(Has(text, "refused")) << text;
  EXPECT_FALSE(Has(text, "write error")) << text;

  s.first_frame_key = false;
  s.counters.refused = 2;
  s.counters.without_time_stamp = 3;
  s.write_error = "No space left on device";
  s.file_bytes = s.counters.bytes;
  const std::string worse = FormatSummary(s);
  EXPECT_TRUE(Has(worse, "first frame:        not key\n")) << worse;
  EXPECT_TRUE(Has(worse, "file:               cam.h264, 1250000 bytes\n")) << worse;
  EXPECT_TRUE(Has(worse, "refused frames:     2\n")) << worse;
  EXPECT_TRUE(Has(worse, "without time stamp: 3 frames\n")) << worse;
  EXPECT_TRUE(Has(worse, "write error:        No space left on device\n")) << worse;
}

TEST(FormatSummary, ARecordingWithoutFrames) {
  RecordSummary s;
  s.out_path = "record.h264";
  s.duration_s = 2.04;
  const std::string text = FormatSummary(s);
  EXPECT_TRUE(Has(text, "frames:             0 (no frames were recorded)\n")) << text;
  EXPECT_TRUE(Has(text, "duration:           2.0 s\n")) << text;
  EXPECT_TRUE(Has(text, "time stamp spacing: none")) << text;
  EXPECT_FALSE(Has(text, "average")) << text;
  EXPECT_FALSE(Has(text, "first frame")) << text;
}

TEST(RecordConsole, OnATerminalTheProgressLineIsRewrittenAndLogLinesGoAboveIt) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  RecordConsole console(file, true, true);
  console.Line("[level 3] opened");
  console.Progress("1 s");
  console.Progress("2 s");
  console.Line("[level 1] lost");
  console.Finish();
  console.Line("summary:");
  EXPECT_EQ(Written(file), "[level 3] opened\n\r\x1b[K1 s\r\x1b[K2 s\r\x1b[K[level 1] lost\n2 s\nsummary:\n");
  std::fclose(file);
}

TEST(RecordConsole, ElsewhereEachProgressLineIsALineAndQuietShowsNone) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    RecordConsole console(file, false, true);
    console.Progress("1 s");
    console.Line("[level 1] lost");
    console.Progress("2 s");
    console.Finish();
  }
  {
    RecordConsole quiet(file, true, false);
    quiet.Progress("3 s");
    quiet.Line("[level 3] log lines still show");
    quiet.Finish();
  }
  EXPECT_EQ(Written(file), "1 s\n[level 1] lost\n2 s\n[level 3] log lines still show\n");
  std::fclose(file);
}

}  // namespace
}  // namespace tessavirn_host
