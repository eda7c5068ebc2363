// A host whose core library 6.3 is in the loader's search path (set by the test's environment):
// the open notice then arrives at level 100.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "debug_sink.h"
#include "device_config.h"
#include "driver_library.h"
#include "frame_factory.h"
#include "run_command.h"

namespace {

TEST(HostCore63, OpenNoticeArrivesAtLevel100) {
  const char* path = std::getenv("LD_LIBRARY_PATH");
  ASSERT_NE(path, nullptr);
  ASSERT_NE(std::string(path).find("hostcore-6.3"), std::string::npos);

  tessavirn_host::DriverLibrary library;
  ASSERT_TRUE(library.Load(TESSAVIRN_LIBRARY)) << library.error();
  tessavirn_host::DeviceConfig config;
  config.address = "127.0.0.4";
  config.custom_parameters = {{1, "5000"}, {2, "1"}, {6, "0"}, {8, "0"}};
  tessavirn_host::DeviceSettings settings(config);
  tessavirn_host::DebugSink sink;
  tessavirn_host::FrameFactory frames;
  auto* driver = library.Create();
  ASSERT_TRUE(driver->Open(&sink, &frames, &settings));
  const auto entries = sink.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, 100);
  library.Delete(driver);
}

TEST(HostCore63, ProgramShowsLevel100) {
  const auto r = tessavirn_test::RunCommand(std::string(TESSAVIRN_PROGRAM) +
                                            " open --address 127.0.0.4 --param 1=5000 --param 2=0 --param 6=0 "
                                            "--param 8=0");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("[level 100] DRIVER IS OPENED (name: Tessavirn"), std::string::npos) << r.output;
}

}  // namespace
