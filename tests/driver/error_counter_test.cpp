#include "driver/error_counter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "driver/result_def.h"

namespace kalmora {
namespace {

// The attempts (1-based) that the counter lets through among the first `attempts`.
std::vector<std::uint32_t> ReportedAttempts(CZELVErrorCounter& counter, std::uint32_t attempts) {
  std::vector<std::uint32_t> reported;
  for (std::uint32_t n = 1; n <= attempts; ++n) {
    if (counter.AllowReport()) reported.push_back(n);
  }
  return reported;
}

TEST(ErrorCounter, TwentyFailuresReportOneToFourteenAndSixteen) {
  CZELVErrorCounter counter;
  std::vector<std::uint32_t> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 16};
  EXPECT_EQ(ReportedAttempts(counter, 20), expected);
}

TEST(ErrorCounter, ThinsToEvery16thThen256thThen4096th) {
  CZELVErrorCounter counter;
  const auto reported = ReportedAttempts(counter, 20000);
  std::vector<std::uint32_t> expected;
  for (std::uint32_t n = 1; n <= 14; ++n) expected.push_back(n);
  for (std::uint32_t n = 16; n <= 254; n += 16) expected.push_back(n);
  for (std::uint32_t n = 256; n <= 4094; n += 256) expected.push_back(n);
  for (std::uint32_t n = 4096; n <= 20000; n += 4096) expected.push_back(n);
  EXPECT_EQ(reported, expected);
  // Spot checks of the boundaries.
  EXPECT_NE(std::find(reported.begin(), reported.end(), 32u), reported.end());
  EXPECT_EQ(std::find(reported.begin(), reported.end(), 15u), reported.end());
  EXPECT_EQ(std::find(reported.begin(), reported.end(), 4095u), reported.end());
}

TEST(ErrorCounter, Attempt65535WrapsTo4095AndTheNextIsReported) {
  CZELVErrorCounter counter;
  ReportedAttempts(counter, 65534);
  EXPECT_EQ(counter.GetErrorCount(), 65534u);
  EXPECT_FALSE(counter.AllowReport());  // attempt 65535
  EXPECT_EQ(counter.GetErrorCount(), 4095u);
  EXPECT_TRUE(counter.AllowReport());  // counted as 4096
  EXPECT_FALSE(counter.AllowReport());
}

TEST(ErrorCounter, ResetReportsInFullAgain) {
  CZELVErrorCounter counter;
  ReportedAttempts(counter, 100);
  counter.ResetErrorCount();
  EXPECT_EQ(ReportedAttempts(counter, 14).size(), 14u);
}

TEST(ErrorCounter, ConcurrentAttemptsAreAllCounted) {
  CZELVErrorCounter counter;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2500; ++i) counter.AllowReport();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter.GetErrorCount(), 10000u);
}

// A reporting object as the channels and PTZ objects are: a logger with its own counter.
class RecordingReporter : public IDebugMessage, public virtual CZELVErrorCounter {
 public:
  void Log(std::int32_t type, const char* format, ...) override {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    lines.emplace_back(type, buffer);
  }
  std::vector<std::pair<std::int32_t, std::string>> lines;
};

class PlainReporter : public IDebugMessage {
 public:
  void Log(std::int32_t, const char*, ...) override { ++count; }
  int count = 0;
};

TEST(ResultReporting, LogsTheTextLiterallyUnderItsMessageType) {
  RecordingReporter reporter;
  CResultDef result(3);
  result.Set(1, 5, "kalmora::X: 100% failed at %s %n%d");
  ReportResult(&reporter, result);
  ASSERT_EQ(reporter.lines.size(), 1u);
  EXPECT_EQ(reporter.lines[0].first, 1);
  EXPECT_EQ(reporter.lines[0].second, "kalmora::X: 100% failed at %s %n%d");
}

TEST(ResultReporting, SkipsEmptyMessagesAndNullReporters) {
  RecordingReporter reporter;
  CResultDef ok(3);
  ReportResult(&reporter, ok);
  EXPECT_TRUE(reporter.lines.empty());
  EXPECT_EQ(reporter.GetErrorCount(), 0u);  // an empty result is not an attempt
  CResultDef failed;
  failed.Set(1, 2, "x");
  ReportResult(nullptr, failed);  // must not crash
}

TEST(ResultReporting, ThinsThroughTheReportersOwnCounter) {
  RecordingReporter reporter;
  CResultDef failed;
  failed.Set(1, 2, "camera unreachable");
  for (int i = 0; i < 40; ++i) ReportResult(&reporter, failed);
  EXPECT_EQ(reporter.lines.size(), 14u + 2u);  // 1..14, 16, 32
  EXPECT_EQ(reporter.GetErrorCount(), 40u);
}

TEST(ResultReporting, ReporterWithoutCounterIsNotThinned) {
  PlainReporter reporter;
  CResultDef failed;
  failed.Set(1, 2, "x");
  for (int i = 0; i < 20; ++i) ReportResult(&reporter, failed);
  EXPECT_EQ(reporter.count, 20);
}

}  // namespace
}  // namespace kalmora
