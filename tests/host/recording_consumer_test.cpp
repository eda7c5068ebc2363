#include "recording_consumer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <latch>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "annex_b_builder.h"
#include "frame_factory.h"
#include "host/types.h"

namespace tessavirn_host {
namespace {

using kalmora::ipcapture::kFrameTypeDivi;
using kalmora::ipcapture::kFrameTypeDivx;
using kalmora::ipcapture::kFrameTypeH264;
using kalmora::ipcapture::kFrameTypeH264Delta;
using kalmora::ipcapture::kFrameTypeJpeg;
using kalmora::ipcapture::SystemTime;
using tessavirn_test::AnnexB;
using tessavirn_test::Bytes;

constexpr std::size_t kDelimiterSize = 5;

SystemTime At(std::uint16_t second, std::uint16_t ms) {
  SystemTime t;
  t.year = 2026;
  t.month = 12;
  t.day = 8;
  t.hour = 6;
  t.minute = 30;
  t.second = second;
  t.milliseconds = ms;
  return t;
}

// A frame buffer as the driver fills it.
std::unique_ptr<Frame> MakeFrame(std::uint32_t type, const Bytes& data, const SystemTime& time = At(0, 0)) {
  auto frame = std::make_unique<Frame>(type, static_cast<std::uint32_t>(data.size()), "test");
  if (!data.empty()) std::memcpy(frame->GetData(), data.data(), data.size());
  frame->SetDataLength(static_cast<std::uint32_t>(data.size()));
  frame->SetTimeStamp(time);
  return frame;
}

// Everything written to a temporary file, read back from its start.
Bytes ReadAll(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  Bytes bytes;
  std::uint8_t buffer[65536];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  return bytes;
}

std::vector<std::string> Lines(std::FILE* file) {
  const Bytes bytes = ReadAll(file);
  std::vector<std::string> lines;
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct TempFile {
  TempFile() : file(std::tmpfile()) {}
  ~TempFile() {
    if (file != nullptr) std::fclose(file);
  }
  std::FILE* file;
};

// Frame k of a thread: a predicted or (every seventh) key frame whose slice payload names the
// thread and k and whose length varies with k.
Bytes ThreadFrame(std::uint8_t thread, std::uint16_t k) {
  AnnexB b;
  const bool key = k % 7 == 0;
  if (key) b.Sps().Pps();
  b.Raw({0x00, 0x00, 0x01, static_cast<std::uint8_t>(key ? 0x65 : 0x41), thread,
         static_cast<std::uint8_t>(k >> 8), static_cast<std::uint8_t>(k & 0xFF)});
  b.Raw(Bytes(static_cast<std::size_t>(k % 613), static_cast<std::uint8_t>(0xA0 + thread)));
  return b.Delimiter().bytes();
}

TEST(RecordingConsumer, FramesFromTwoThreadsAtOnceAreWrittenWholeAndCountedExactly) {
  constexpr int kThreads = 2;
  constexpr std::uint16_t kPerThread = 1500;
  TempFile out;
  TempFile log;
  ASSERT_NE(out.file, nullptr);
  ASSERT_NE(log.file, nullptr);
  RecordingConsumer consumer(out.file, log.file);

  std::uint64_t expected_bytes = 0;
  std::uint64_t expected_keys = 0;
  std::map<std::pair<int, int>, Bytes> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (std::uint16_t k = 0; k < kPerThread; ++k) {
      Bytes b = ThreadFrame(static_cast<std::uint8_t>(t), k);
      expected_bytes += b.size();
      if (k % 7 == 0) ++expected_keys;
      expected[{t, k}] = std::move(b);
    }
  }

  std::latch start(kThreads);
  std::vector<std::thread> threads;
  std::vector<int> refused(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (std::uint16_t k = 0; k < kPerThread; ++k) {
        const auto& bytes = expected.at({t, k});
        auto frame = MakeFrame(k % 7 == 0 ? kFrameTypeH264 : kFrameTypeH264Delta, bytes,
                               At(static_cast<std::uint16_t>(k / 25 % 60), static_cast<std::uint16_t>(k % 25 * 40)));
        if (!consumer.CaptureFrameCallback(frame.get())) ++refused[static_cast<std::size_t>(t)];
        if (k % 500 == 0) consumer.NotifyNoSignal();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(refused, std::vector<int>(kThreads, 0));

  const auto c = consumer.Counters();
  EXPECT_EQ(c.frames, std::uint64_t{kThreads} * kPerThread);
  EXPECT_EQ(c.key_frames, expected_keys);
  EXPECT_EQ(c.bytes, expected_bytes);
  EXPECT_EQ(c.damaged, 0u) << consumer.FirstDamage();
  EXPECT_EQ(c.refused, 0u);
  EXPECT_EQ(c.no_signal_notices, std::uint64_t{kThreads} * 3);
  EXPECT_EQ(consumer.TimeStamps().size(), c.frames);

  // Walk the file frame by frame: each must be one of the expected frames, byte for byte, and
  // each thread's frames must follow in the order it delivered them. The last frame's closing
  // delimiter is held back.
  Bytes file = ReadAll(out.file);
  ASSERT_EQ(file.size(), expected_bytes - kDelimiterSize);
  EXPECT_EQ(consumer.FileBytes(), file.size());
  file.insert(file.end(), {0x00, 0x00, 0x01, 0x09, 0x30});
  const std::size_t kParameterSetsSize = AnnexB().Sps().Pps().bytes().size();
  std::vector<int> next(kThreads, 0);
  std::vector<std::size_t> lengths;
  std::size_t at = 0;
  while (at < file.size()) {
    // The slice header follows the parameter sets in a key frame, and starts the frame otherwise.
    const std::size_t slice = file[at + 3] == 0x67 ? at + kParameterSetsSize : at;
    ASSERT_LT(slice + 7, file.size());
    const int t = file[slice + 4];
    const int k = (file[slice + 5] << 8) | file[slice + 6];
    ASSERT_LT(t, kThreads) << "at offset " << at;
    ASSERT_EQ(k, next[static_cast<std::size_t>(t)]) << "thread " << t << " at offset " << at;
    const Bytes& want = expected.at({t, k});
    ASSERT_LE(at + want.size(), file.size());
    ASSERT_TRUE(std::equal(want.begin(), want.end(), file.begin() + static_cast<std::ptrdiff_t>(at)))
        << "frame " << k << " of thread " << t << " is not whole at offset " << at;
    ++next[static_cast<std::size_t>(t)];
    lengths.push_back(want.size());
    at += want.size();
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kPerThread));

  // The frame log follows the file's order: line i has index i and frame i's length.
  const auto lines = Lines(log.file);
  ASSERT_EQ(lines.size(), lengths.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::istringstream fields(lines[i]);
    std::uint64_t index = 0;
    long long ns = 0;
    std::size_t length = 0;
    fields >> index >> ns >> length;
    ASSERT_EQ(index, i) << lines[i];
    ASSERT_EQ(length, lengths[i]) << lines[i];
  }
}

TEST(RecordingConsumer, FrameLogLineCarriesCallbackTimeTypeKeyAndTimeStamp) {
  TempFile out;
  TempFile log;
  RecordingConsumer consumer(out.file, log.file);
  const auto key = MakeFrame(kFrameTypeH264, tessavirn_test::KeyFrame(), At(59, 960));
  const auto delta = MakeFrame(kFrameTypeH264Delta, tessavirn_test::DeltaFrame(), SystemTime{});
  const auto ns = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const long long before = ns();
  ASSERT_TRUE(consumer.CaptureFrameCallback(key.get()));
  ASSERT_TRUE(consumer.CaptureFrameCallback(delta.get()));
  const long long after = ns();

  const auto lines = Lines(log.file);
  ASSERT_EQ(lines.size(), 2u);
  std::istringstream first(lines[0]);
  std::string index, time, length, type, is_key, stamp;
  first >> index >> time >> length >> type >> is_key >> stamp;
  EXPECT_EQ(index, "0");
  EXPECT_GE(std::stoll(time), before);
  EXPECT_LE(std::stoll(time), after);
  EXPECT_EQ(length, std::to_string(tessavirn_test::KeyFrame().size()));
  EXPECT_EQ(type, "H264");
  EXPECT_EQ(is_key, "1");
  EXPECT_EQ(stamp, "1796711459960");  // 2026-12-08 06:30:59.960 UTC
  EXPECT_EQ(lines[1].substr(0, 2), "1 ");
  EXPECT_NE(lines[1].find(" I264 0 -"), std::string::npos) << lines[1];

  const auto c = consumer.Counters();
  EXPECT_EQ(c.without_time_stamp, 1u);
  EXPECT_EQ(consumer.TimeStamps(), std::vector<std::int64_t>{1796711459960});
}

TEST(RecordingConsumer, DamagedFramesAreTakenCountedAndTheFirstIsDescribed) {
  TempFile out;
  RecordingConsumer consumer(out.file, nullptr);
  const Bytes no_delimiter = AnnexB().Nal(1).bytes();
  const Bytes key_without_sps = AnnexB().Pps().Nal(5).Delimiter().bytes();
  for (const auto& [type, bytes] : std::vector<std::pair<std::uint32_t, Bytes>>{
           {kFrameTypeH264Delta, tessavirn_test::DeltaFrame()},
           {kFrameTypeH264Delta, no_delimiter},
           {kFrameTypeH264, key_without_sps},
           {kFrameTypeH264, tessavirn_test::KeyFrame()}}) {
    EXPECT_TRUE(consumer.CaptureFrameCallback(MakeFrame(type, bytes).get()));
  }
  const auto c = consumer.Counters();
  EXPECT_EQ(c.frames, 4u);
  EXPECT_EQ(c.damaged, 2u);
  EXPECT_EQ(c.key_frames, 2u);
  EXPECT_EQ(consumer.FirstDamage(), "frame 1: no access unit delimiter at the end");
  EXPECT_EQ(consumer.FirstFrameKey(), false);
  // Damaged frames are written like any other; only the last frame's delimiter is held back.
  EXPECT_EQ(ReadAll(out.file).size(), c.bytes - kDelimiterSize);
}

TEST(RecordingConsumer, TheClosingDelimiterOfAFrameIsWrittenWhenTheNextFrameComes) {
  TempFile out;
  RecordingConsumer consumer(out.file, nullptr);
  const Bytes key = tessavirn_test::KeyFrame();
  const Bytes delta = tessavirn_test::DeltaFrame();
  const Bytes no_delimiter = AnnexB().Nal(1, {0x9A}).bytes();
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xD9};
  const auto without_delimiter = [](const Bytes& b) { return Bytes(b.begin(), b.end() - kDelimiterSize); };

  ASSERT_TRUE(consumer.CaptureFrameCallback(MakeFrame(kFrameTypeH264, key).get()));
  EXPECT_EQ(ReadAll(out.file), without_delimiter(key));
  EXPECT_EQ(consumer.FileBytes(), key.size() - kDelimiterSize);
  ASSERT_TRUE(consumer.CaptureFrameCallback(MakeFrame(kFrameTypeH264Delta, delta).get()));
  Bytes want = key;
  want.insert(want.end(), delta.begin(), delta.end() - kDelimiterSize);
  EXPECT_EQ(ReadAll(out.file), want);

  // A frame without its delimiter is written whole and holds nothing back; a frame of another
  // type still gets the delimiter before it.
  ASSERT_TRUE(consumer.CaptureFrameCallback(MakeFrame(kFrameTypeH264Delta, no_delimiter).get()));
  want.insert(want.end(), delta.end() - kDelimiterSize, delta.end());
  want.insert(want.end(), no_delimiter.begin(), no_delimiter.end());
  EXPECT_EQ(ReadAll(out.file), want);
  ASSERT_TRUE(consumer.CaptureFrameCallback(MakeFrame(kFrameTypeH264Delta, delta).get()));
  ASSERT_TRUE(consumer.CaptureFrameCallback(MakeFrame(kFrameTypeJpeg, jpeg).get()));
  want.insert(want.end(), delta.begin(), delta.end());
  want.insert(want.end(), jpeg.begin(), jpeg.end());
  EXPECT_EQ(ReadAll(out.file), want);
  EXPECT_EQ(consumer.FileBytes(), want.size());
  EXPECT_EQ(consumer.Counters().bytes, want.size());
}

TEST(RecordingConsumer, OtherStreamsAreWrittenAsTheyComeWithTheirKeyFlag) {
  TempFile out;
  RecordingConsumer consumer(out.file, nullptr);
  const Bytes jpeg = {0xFF, 0xD8, 0x01, 0x02, 0xFF, 0xD9};
  const Bytes vop = {0x00, 0x00, 0x01, 0xB6, 0x10};
  EXPECT_TRUE(consumer.CaptureFrameCallback(MakeFrame(kFrameTypeJpeg, jpeg).get()));
  EXPECT_TRUE(consumer.CaptureFrameCallback(MakeFrame(kFrameTypeDivx, vop).get()));
  EXPECT_TRUE(consumer.CaptureFrameCallback(MakeFrame(kFrameTypeDivi, vop).get()));
  const auto c = consumer.Counters();
  EXPECT_EQ(c.frames, 3u);
  EXPECT_EQ(c.key_frames, 2u);
  EXPECT_EQ(c.damaged, 0u);  // the H.264 check is not applied to them
  EXPECT_EQ(consumer.FirstFrameKey(), true);
  Bytes want = jpeg;
  want.insert(want.end(), vop.begin(), vop.end());
  want.insert(want.end(), vop.begin(), vop.end());
  EXPECT_EQ(ReadAll(out.file), want);
}

TEST(RecordingConsumer, RefusesFramesItCannotTakeAndWritesNothingOfThem) {
  TempFile out;
  RecordingConsumer consumer(out.file, nullptr);
  EXPECT_FALSE(consumer.CaptureFrameCallback(nullptr));
  auto overlong = MakeFrame(kFrameTypeH264Delta, tessavirn_test::DeltaFrame());
  overlong->SetDataLength(overlong->GetCapacity() + 1);
  EXPECT_FALSE(consumer.CaptureFrameCallback(overlong.get()));
  const auto c = consumer.Counters();
  EXPECT_EQ(c.frames, 0u);
  EXPECT_EQ(c.refused, 2u);
  EXPECT_FALSE(consumer.FirstFrameKey());
  EXPECT_TRUE(ReadAll(out.file).empty());
}

TEST(RecordingConsumer, AFailedWriteRefusesTheFrameAndIsReported) {
  std::FILE* full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IONBF, 0);
  RecordingConsumer consumer(full, nullptr);
  EXPECT_FALSE(consumer.CaptureFrameCallback(MakeFrame(kFrameTypeH264, tessavirn_test::KeyFrame()).get()));
  const auto c = consumer.Counters();
  EXPECT_EQ(c.frames, 0u);
  EXPECT_EQ(c.refused, 1u);
  EXPECT_EQ(consumer.WriteError(), std::strerror(ENOSPC));
  std::fclose(full);
}

TEST(FrameTypes, KeyFlagAndText) {
  EXPECT_TRUE(IsKeyFrameType(kFrameTypeH264));
  EXPECT_FALSE(IsKeyFrameType(kFrameTypeH264Delta));
  EXPECT_TRUE(IsKeyFrameType(kFrameTypeJpeg));
  EXPECT_TRUE(IsKeyFrameType(kFrameTypeDivx));
  EXPECT_FALSE(IsKeyFrameType(kFrameTypeDivi));
  EXPECT_FALSE(IsKeyFrameType(0));
  EXPECT_TRUE(IsH264FrameType(kFrameTypeH264Delta));
  EXPECT_FALSE(IsH264FrameType(kFrameTypeJpeg));
  EXPECT_EQ(FrameTypeText(kFrameTypeH264Delta), "I264");
  EXPECT_EQ(FrameTypeText(kFrameTypeDivi), "DIVI");
  EXPECT_EQ(FrameTypeText(7), "0x00000007");
}

}  // namespace
}  // namespace tessavirn_host
