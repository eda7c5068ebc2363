// The io commands of the tessavirn program against the camsim program: an alarm input changed
// through the simulator's admin path shows in `io watch`, and `io set` switches a relay.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

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

  // io set: the camera's answer decides the exit status; arguments the driver could not act on
  // are refused before it is loaded.
  struct SetRow {
    const char* fault;  // added to the camera before the row, cleared after
    std::string args;
    int exit_code;
    const char* says;
  };
  const std::vector<SetRow> rows = {
      {"", "0 on" + device, 0, "output 0 on: camera answered 200"},
      {"", "0 off" + device, 0, "output 0 off: camera answered 200"},
      {"status:params/set.cgi*:404", "0 on" + device, 1, "output 0 on: refused, status 404"},
      {"drop:params/set.cgi*", "0 on" + device, 1, "output 0 on: no answer"},
      {"", "1 on" + device, 2, "OUTPUT 1 is not below the number of outputs"},
      {"", std::string("0 on --address ") + kAddress + " --outputs 1", 2, "needs the output mode"},
  };
  for (const SetRow& row : rows) {
    SCOPED_TRACE(row.args);
    const std::string faults = std::string("curl -sf 'http://") + kAddress + "/camsim/faults?";
    if (*row.fault != '\0') {
      ASSERT_EQ(RunCommand(faults + "add=" + row.fault + "'").exit_code, 0);
    }
    const auto set = RunCommand(std::string(TESSAVIRN_PROGRAM) + " io set " + row.args);
    EXPECT_EQ(set.exit_code, row.exit_code) << set.output;
    EXPECT_NE(set.output.find(row.says), std::string::npos) << set.output;
    RunCommand(faults + "clear'");
  }
  // What the camera received, in order: each start writes the relay off first.
  const auto io = RunCommand(std::string("curl -sf 'http://") + kAddress + "/camsim/io'");
  std::vector<std::string> writes;
  std::istringstream lines(io.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("write\t")) writes.push_back(line.substr(line.rfind('\t') + 1));
  }
  const std::string off = "Data-1.Status.AuxOut1=Off\r", on = "Data-1.Status.AuxOut1=On\r";
  EXPECT_EQ(writes, (std::vector<std::string>{off, on, off, off, on, off, on}));

  camera.Signal(SIGTERM);
  EXPECT_EQ(camera.Wait(), 0) << camera.Output();
  RunCommand("rm -rf " + dir);
}

}  // namespace
