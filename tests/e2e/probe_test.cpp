// tessavirn probe against the camsim program: the query's results, the settings file it saves and
// a recording made from that file; and the reason it gives when a camera does not answer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "child_program.h"
#include "run_command.h"
#include "scratch_folder.h"

namespace {

using tessavirn_test::ChildProgram;
using tessavirn_test::RunCommand;

const std::string kProgram = std::string("timeout -s KILL 60 ") + TESSAVIRN_PROGRAM;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ProbeProgram, SavedSettingsRecordFromTheCameraAndNeverHoldThePassword) {
  const std::string address = "127.0.0.186";
  tessavirn_test::ScratchFolder dir;
  ChildProgram camera({CAMSIM_PROGRAM, "--profile", "ptz_dome", "--addr", address, "--port", "80", "--auth", "basic",
                       "--user", "admin", "--password", "s3cret"},
                      {}, dir.File("camsim.out"));
  ASSERT_TRUE(camera.started());
  ASSERT_TRUE(tessavirn_test::WaitForListener(address.c_str(), 554, std::chrono::seconds(10))) << camera.Output();

  // The password from the environment, as a script would give it.
  const std::string conf = dir.File("cam.conf");
  const auto probe =
      RunCommand("TESSAVIRN_PASSWORD=s3cret " + kProgram + " probe --address " + address + " --user admin --save " + conf);
  ASSERT_EQ(probe.exit_code, 0) << probe.output;
  for (const char* line : {"capabilities:", "  video inputs: 1", "  PTZ: yes", "  H.264: yes", "resolutions:",
                           "  host: 127.0.0.186", "  user: admin", "  password: ***", "custom parameters:\n  1 ",
                           "\n  14 ", "settings saved to"}) {
    EXPECT_TRUE(Has(probe.output, line)) << line << "\n" << probe.output;
  }
  EXPECT_FALSE(Has(probe.output, "s3cret")) << probe.output;

  const std::string saved = dir.Read("cam.conf");
  for (const char* line : {"address=127.0.0.186\n", "port=80\n", "user=admin\n", "stream=h264\n", "channels=1\n",
                           "\nmodel=", "\nparam.1=", "\nparam.14="}) {
    EXPECT_TRUE(Has(saved, line)) << line << "\n" << saved;
  }
  EXPECT_FALSE(Has(saved, "s3cret")) << saved;
  struct stat status {};
  ASSERT_EQ(::stat(conf.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  // Everything about the camera from the file; only the password comes from the environment.
  const std::string out = dir.File("record.h264");
  const auto record = RunCommand("TESSAVIRN_PASSWORD=s3cret " + kProgram + " record --config " + conf +
                                 " --seconds 3 --quiet --out " + out);
  EXPECT_EQ(record.exit_code, 0) << record.output;
  const std::size_t model_at = saved.find("\nmodel=") + 7;
  const std::string model = saved.substr(model_at, saved.find('\n', model_at) - model_at);
  EXPECT_TRUE(Has(record.output, "opening 127.0.0.186:80 (stream type 3, model \"" + model + "\")")) << record.output;
  const auto check = RunCommand(std::string(RECORD_CHECK_SCRIPT) + " " + out + " 50");
  EXPECT_EQ(check.exit_code, 0) << check.output;

  // The same camera asked with a wrong password: the query fails and the host names the 401.
  const auto refused =
      RunCommand(kProgram + " probe --address " + address + " --user admin --password wrong --save " + dir.File("x"));
  EXPECT_EQ(refused.exit_code, 1) << refused.output;
  EXPECT_TRUE(Has(refused.output, "the query failed:")) << refused.output;
  EXPECT_TRUE(Has(refused.output, "127.0.0.186: the camera answers 401 to user \"admin\" with this password"))
      << refused.output;
  EXPECT_FALSE(Has(dir.Read("x"), "address")) << "nothing saved for a failed query";

  camera.Signal(SIGTERM);
  EXPECT_EQ(camera.Wait(), 0) << camera.Output();
}

TEST(ProbeProgram, ADeadAddressFailsWithTheReasonInBoundedTime) {
  const auto started = std::chrono::steady_clock::now();
  const auto r = RunCommand(kProgram + " probe --address 127.0.0.187 --timeout-seconds 20");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(25));
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_TRUE(Has(r.output, "tessavirn: the query failed: ")) << r.output;
  EXPECT_TRUE(Has(r.output, "(code ")) << r.output;
  EXPECT_TRUE(Has(r.output, "tessavirn: 127.0.0.187: port 80 (HTTP) refuses connections")) << r.output;
  EXPECT_FALSE(Has(r.output, "capabilities:")) << r.output;
}

}  // namespace
