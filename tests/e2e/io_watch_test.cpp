// The io commands of the tessavirn program against the camsim program: an alarm input changed
// through the simulator's admin path shows in `io watch`, and `io set` switches a relay.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>

#include "child_program.h"
#include "run_command.h"

namespace {

using namespace std::chrono_literals;
using tessavirn_test::ChildProgram;
using tessavirn_test::RunCommand;

constexpr const char* kAddress = "127.0.0.179";

TEST(IoCommands, WatchShowsAnAdminChangeAndSetSwitchesTheRelay) {
  const std::string dir = ::testing::TempDir() + "io_watch_" + std::to_string(getpid());
  ASSERT_EQ(RunCommand("mkdir -p " + dir).exit_code, 0);
  ChildProgram camera({CAMSIM_PROGRAM, "--profile", "ptz_dome", "--addr", kAddress, "--port", "80", "--rtsp-port", "0"},
                      {}, dir + "/camsim.out");
  ASSERT_TRUE(tessavirn_test::WaitForListener(kAddress, 80, 10s)) << camera.Output();
  const std::string device = std::string(" --address ") + kAddress + " --inputs 2 --outputs 1 --param 12=2 --param 13=2";

  ChildProgram watch({TESSAVIRN_PROGRAM, "io", "watch", "--address", kAddress, "--inputs", "2", "--param", "12=2",
                      "--seconds", "30"},
                     {}, dir + "/watch.out");
  ASSERT_TRUE(tessavirn_test::WaitFor([&] { return watch.Output().find(" input 1 inactive") != std::string::npos; }, 20s))
      << watch.Output();
  const auto changed_at = std::chrono::steady_clock::now();
  const auto admin = RunCommand(std::string("curl -sf 'http://") + kAddress + "/camsim/io?input2=active'");
  ASSERT_EQ(admin.exit_code, 0) << admin.output;
  ASSERT_TRUE(tessavirn_test::WaitFor([&] { return watch.Output().find(" input 1 active") != std::string::npos; }, 20s))
      << watch.Output();
  const auto shown_after = std::chrono::steady_clock::now() - changed_at;
  std::printf("change shown by io watch after %lld ms (poll period 2000 ms)\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(shown_after).count()));
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Wait(), 0) << watch.Output();
  EXPECT_NE(watch.Output().find("watched: 3 input changes, 0 I/O failures"), std::string::npos) << watch.Output();

  const auto on = RunCommand(std::string(TESSAVIRN_PROGRAM) + " io set 0 on" + device);
  EXPECT_EQ(on.exit_code, 0) << on.output;
  EXPECT_NE(on.output.find("output 0 on: camera answered 200"), std::string::npos) << on.output;
  const auto io = RunCommand(std::string("curl -sf 'http://") + kAddress + "/camsim/io'");
  EXPECT_NE(io.output.find("Data-1.Status.AuxOut1=On"), std::string::npos) << io.output;

  camera.Signal(SIGTERM);
  EXPECT_EQ(camera.Wait(), 0) << camera.Output();
  RunCommand("rm -rf " + dir);
}

}  // namespace
