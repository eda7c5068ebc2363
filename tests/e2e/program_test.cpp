// The tessavirn program as a user runs it.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "run_command.h"

namespace {

using tessavirn_test::RunCommand;

const std::string kProgram = TESSAVIRN_PROGRAM;
const std::string kRequired = " --param 1=5000 --param 2=0 --param 6=0 --param 8=1";

TEST(ProgramOpen, PrintsTheOpenNoticeWithItsLevelAndCloses) {
  std::string all;
  for (int i : {3, 4, 5, 7, 9, 10, 11, 12, 13}) all += " --param " + std::to_string(i) + "=0";
  const auto r = RunCommand(kProgram + " open --address 127.0.0.3 --port 8080 --model 'ZD-220 Dome'" + kRequired +
                            all + " --param 14=3.1.4");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("[level 3] DRIVER IS OPENED (name: Tessavirn, device model: ZD-220 Dome, FW: 3.1.4, "
                          "address: 127.0.0.3:8080)"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("PTZ yes"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("closed"), std::string::npos) << r.output;
}

TEST(ProgramOpen, WarnsOfParametersTheDriverWillNotSee) {
  const auto r = RunCommand(kProgram + " open --address 127.0.0.3" + kRequired + " --param 14=3.1.4");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("custom parameters 14 come after missing parameter 3"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("FW: (none)"), std::string::npos) << r.output;
}

TEST(ProgramOpen, NamesEveryMissingOrMalformedRequiredParameter) {
  const auto r = RunCommand(kProgram + " open --address 127.0.0.3 --param 1=5000 --param 2=+ --param 8=-1");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find("custom parameter 2 (\"Video standard\") is not a number: \"+\""), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("custom parameter 6 (\"Use MJPEG video receiving via HTTP\") is missing"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("custom parameter 8 (\"Number of Supported PTZ Channels\") must not be negative"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("custom parameter 1 "), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("[level"), std::string::npos) << "the driver logs nothing for a refused open";
}

TEST(ProgramOpen, RejectsBadArguments) {
  auto r = RunCommand(kProgram + " open --address 127.0.0.3 --stream vp9" + kRequired);
  EXPECT_EQ(r.exit_code, 2) << r.output;
  EXPECT_NE(r.output.find("--stream must be"), std::string::npos) << r.output;
  r = RunCommand(kProgram + " open --address 127.0.0.3 --param 0=1" + kRequired);
  EXPECT_EQ(r.exit_code, 2) << r.output;
  r = RunCommand(kProgram + " open" + kRequired);
  EXPECT_NE(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("--address"), std::string::npos) << r.output;
}

TEST(ProgramOpen, SaysWhenTheDriverCannotBeLoaded) {
  const auto r = RunCommand(kProgram + " open --driver /nonexistent/libtessavirn.so --address 127.0.0.3" + kRequired);
  EXPECT_EQ(r.exit_code, 3) << r.output;
  EXPECT_NE(r.output.find("cannot load /nonexistent/libtessavirn.so"), std::string::npos) << r.output;
}

// A folder of the test's own for the files a recording writes.
class ProgramRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessavirn-record-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Out() const { return (dir_ / "out.h264").string(); }
  std::filesystem::path dir_;
};

TEST_F(ProgramRecord, HelpExplainsEveryOption) {
  const auto r = RunCommand(kProgram + " record --help");
  EXPECT_EQ(r.exit_code, 0);
  for (const char* option : {"--address", "--port", "--stream", "--user", "--password", "--param", "--driver",
                             "--channel", "--size", "--interval", "--quality", "--out", "--seconds", "--frame-log",
                             "--quiet", "Ctrl-C", "record.h264", "callback_time_ns", "5000"}) {
    EXPECT_NE(r.output.find(option), std::string::npos) << option;
  }
}

TEST_F(ProgramRecord, MalformedArgumentsAreExitStatusTwo) {
  for (const char* size : {"640", "0x480", "axb"}) {
    const auto r = RunCommand(kProgram + " record --address 127.0.0.151 --out " + Out() + " --size " + size);
    EXPECT_EQ(r.exit_code, 2) << size << ": " << r.output;
    EXPECT_NE(r.output.find(std::string("--size takes WxH with both from 1 to 65535, not \"") + size + "\""),
              std::string::npos)
        << r.output;
  }
  for (const char* bad : {"--quality 101", "--interval 0", "--seconds -1", "--channel x", "--stream vp9",
                          "--param 0=1", "--bogus"}) {
    const auto r = RunCommand(kProgram + " record --address 127.0.0.151 --out " + Out() + " " + bad);
    EXPECT_EQ(r.exit_code, 2) << bad << ": " << r.output;
  }
  // Nothing was recorded or even created for a refused command line.
  EXPECT_FALSE(std::filesystem::exists(Out()));
}

TEST_F(ProgramRecord, AnUnreachableCameraEndsInBoundedTimeWithoutFrames) {
  // timeout bounds a hang; the recording itself asks for two seconds.
  const auto r = RunCommand("timeout -s KILL 60 " + kProgram + " record --address 127.0.0.151 --stream h264 --seconds 2" +
                            " --out " + Out());
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find("frames:             0 (no frames were recorded)"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("[level 3] DRIVER IS OPENED"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("address: 127.0.0.151:80"), std::string::npos) << r.output;
  EXPECT_EQ(std::filesystem::file_size(Out()), 0u);
}

TEST_F(ProgramRecord, TheDriversRefusalNamesTheMalformedParameter) {
  const auto r = RunCommand(kProgram + " record --address 127.0.0.152 --param 1=soon --seconds 1 --out " + Out());
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find("the driver refused to open"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("custom parameter 1 (\"Network timeout\") is not a number: \"soon\""), std::string::npos)
      << r.output;
  // The other required parameters had their defaults.
  EXPECT_EQ(r.output.find("is missing"), std::string::npos) << r.output;
}

TEST_F(ProgramRecord, FilesThatCannotBeWrittenAndDriversThatCannotBeLoaded) {
  auto r = RunCommand(kProgram + " record --address 127.0.0.153 --out " + (dir_ / "no/such/dir.h264").string());
  EXPECT_EQ(r.exit_code, 2) << r.output;
  EXPECT_NE(r.output.find("cannot write"), std::string::npos) << r.output;
  r = RunCommand(kProgram + " record --address 127.0.0.153 --out " + Out() + " --frame-log " +
                 (dir_ / "no/log.txt").string());
  EXPECT_EQ(r.exit_code, 2) << r.output;
  r = RunCommand(kProgram + " record --driver /nonexistent/libtessavirn.so --address 127.0.0.153 --out " + Out());
  EXPECT_EQ(r.exit_code, 3) << r.output;
  EXPECT_NE(r.output.find("cannot load /nonexistent/libtessavirn.so"), std::string::npos) << r.output;
}

TEST(ProgramHelp, EveryCommandExplainsItself) {
  auto r = RunCommand(kProgram + " --help");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.output.find("open"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("record"), std::string::npos) << r.output;
  r = RunCommand(kProgram + " open --help");
  EXPECT_EQ(r.exit_code, 0);
  for (const char* option : {"--driver", "--address", "--port", "--user", "--password", "--stream", "--model",
                             "--channels", "--inputs", "--outputs", "--param"}) {
    EXPECT_NE(r.output.find(option), std::string::npos) << option;
  }
}

}  // namespace
