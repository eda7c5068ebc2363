// The io commands as a user runs them, on the stand-in driver library, whose I/O object reads
// custom parameters as the driver does (up to the first gap) and logs its output writes with the
// driver's texts.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "child_program.h"

namespace {

using tessavirn_test::ChildProgram;
using tessavirn_test::WaitFor;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const std::string kWrite = "kalmora::COrvaneDigitalIO::WriteOutput: ";

TEST(IoProgram, WatchesInputsAndSwitchesOutputs) {
  const struct Row {
    const char* label;
    std::vector<std::string> args;
    std::vector<std::string> env;
    const char* interrupt_after;  // SIGINT once the output has this; null: the command ends itself
    int status;
    std::vector<std::string> expected;  // in this order
  } kRows[] = {
      {"watch: the change and the failure from the driver's thread, then Stop and Close",
       {"watch", "--inputs", "2", "--param", "12=2"}, {}, "I/O failure", 0,
       {"watching 2 inputs of 127.0.0.155:80 (input mode 2) until Ctrl-C or SIGTERM", " input 1 active\n",
        " I/O failure: camera not reachable\n", "[level 3] fake I/O stopped", "[level 3] fake driver closed",
        "watched: 1 input change, 1 I/O failure"}},
      {"set on: the change after Start's off write, answered 200",
       {"set", "1", "on", "--outputs", "2", "--param", "13=1"}, {}, nullptr, 0,
       {"[level 3] " + kWrite + "Output 1 of camera 127.0.0.155:80 set to inactive.",
        "[level 3] " + kWrite + "Output 1 of camera 127.0.0.155:80 set to active.",
        "output 1 on: camera answered 200"}},
      {"set off: Start's own write is the change", {"set", "0", "off", "--outputs", "2", "--param", "13=1"}, {},
       nullptr, 0, {"Output 0 of camera 127.0.0.155:80 set to inactive.", "output 0 off: camera answered 200"}},
      {"set on, refused by the camera", {"set", "0", "on", "--outputs", "1", "--param", "13=2"}, {}, nullptr, 1,
       {"[level 1] " + kWrite + "Cannot set output 0 of camera 127.0.0.155:80. Status code = 404.",
        "output 0 on: refused, status 404"}},
      // A long network timeout: only the failure can end the wait within the test's bound.
      {"set on, no answer after Start's failures",
       {"set", "0", "on", "--outputs", "1", "--param", "13=1", "--param", "1=100000"},
       {"TESSAVIRN_FAKE_IO_UNREACHABLE=1"}, nullptr, 1, {"output 0 on: no answer"}},
      {"OUTPUT not below --outputs", {"set", "2", "on", "--outputs", "2", "--param", "13=1"}, {}, nullptr, 2,
       {"OUTPUT 2 is not below the number of outputs (--outputs 2)"}},
      {"no output mode", {"set", "0", "on", "--outputs", "1"}, {}, nullptr, 2, {"--param 13=1 or --param 13=2"}},
  };
  const auto dir = std::filesystem::temp_directory_path() / ("tessavirn-io-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  for (const auto& row : kRows) {
    std::vector<std::string> argv = {TESSAVIRN_PROGRAM, "io"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    for (const char* more : {"--driver", TESSAVIRN_FAKE_DRIVER, "--address", "127.0.0.155"}) argv.push_back(more);
    ChildProgram child(argv, row.env, (dir / "output.txt").string());
    ASSERT_TRUE(child.started()) << row.label;
    if (row.interrupt_after != nullptr) {
      ASSERT_TRUE(WaitFor([&] { return Has(child.Output(), row.interrupt_after); })) << row.label << child.Output();
      child.Signal(SIGINT);
    }
    EXPECT_EQ(child.Wait(), row.status) << row.label << "\n" << child.Output();
    const std::string output = child.Output();
    std::size_t at = 0;
    for (const auto& part : row.expected) {
      at = output.find(part, at);
      ASSERT_NE(at, std::string::npos) << row.label << ": no \"" << part << "\" in order in\n" << output;
    }
    // Event lines carry the local time to the millisecond.
    if (row.interrupt_after != nullptr) {
      EXPECT_TRUE(std::regex_search(output, std::regex(R"((^|\n)\d\d:\d\d:\d\d\.\d{3} input 1 active\n)")))
          << output;
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
