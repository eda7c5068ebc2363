// The tessavirn program as a user runs it.
#include <gtest/gtest.h>

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

TEST(ProgramHelp, EveryCommandExplainsItself) {
  auto r = RunCommand(kProgram + " --help");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.output.find("open"), std::string::npos) << r.output;
  r = RunCommand(kProgram + " open --help");
  EXPECT_EQ(r.exit_code, 0);
  for (const char* option : {"--driver", "--address", "--port", "--user", "--password", "--stream", "--model",
                             "--channels", "--inputs", "--outputs", "--param"}) {
    EXPECT_NE(r.output.find(option), std::string::npos) << option;
  }
}

}  // namespace
