// The built library as a host sees it: its export table, and drivers made through each export.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "debug_sink.h"
#include "device_config.h"
#include "driver_library.h"
#include "frame_factory.h"
#include "run_command.h"

namespace {

using tessavirn_host::DebugSink;
using tessavirn_host::DeviceConfig;
using tessavirn_host::DeviceSettings;
using tessavirn_host::DriverLibrary;
using tessavirn_host::FrameFactory;

DeviceConfig RequiredOnly() {
  DeviceConfig config;
  config.address = "127.0.0.2";
  config.model = "ZD-220 Dome";
  config.custom_parameters = {{1, "5000"}, {2, "0"}, {6, "0"}, {8, "0"}};
  return config;
}

TEST(LibraryExports, ExactlyTheFactoryAndQueryFunctions) {
  const auto nm = tessavirn_test::RunCommand(std::string("nm -D --defined-only ") + TESSAVIRN_LIBRARY);
  ASSERT_EQ(nm.exit_code, 0) << nm.output;
  std::vector<std::string> names;
  std::istringstream lines(nm.output);
  std::string address, type, name;
  while (lines >> address >> type >> name) names.push_back(name);
  std::sort(names.begin(), names.end());
  const std::vector<std::string> expected = {
      "CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx2", "CreateIPCaptureEx3",
      "DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx2", "DeleteIPCaptureEx3",
      "InitCapabilityQuery", "StartCapabilityQuery", "TerminateCapabilityQuery", "UninitCapabilityQuery"};
  EXPECT_EQ(names, expected);
}

TEST(LibraryExports, EveryCreateNameGivesADriverThatOpensAlike) {
  DriverLibrary library;
  ASSERT_TRUE(library.Load(TESSAVIRN_LIBRARY)) << library.error();
  const char* creates[] = {"CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx2", "CreateIPCaptureEx3"};
  const char* deletes[] = {"DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx2", "DeleteIPCaptureEx3"};
  for (int i = 0; i < 4; ++i) {
    const DeviceConfig config = RequiredOnly();
    DeviceSettings settings(config);
    DebugSink sink;
    FrameFactory frames;
    auto* driver = library.CreateNamed(creates[i]);
    ASSERT_NE(driver, nullptr) << creates[i];
    EXPECT_EQ(driver->GetVideoCapture(), nullptr) << creates[i];
    ASSERT_TRUE(driver->Open(&sink, &frames, &settings)) << creates[i];
    EXPECT_NE(driver->GetVideoCapture(), nullptr) << creates[i];
    EXPECT_NE(driver->GetCaptureIOApi(), nullptr) << creates[i];
    const auto entries = sink.Entries();
    ASSERT_EQ(entries.size(), 1u) << creates[i];
    EXPECT_EQ(entries[0].level, 3) << creates[i];  // no core library in this test's search path
    EXPECT_EQ(entries[0].text,
              "DRIVER IS OPENED (name: Tessavirn, device model: ZD-220 Dome, FW: (none), address: 127.0.0.2:80)");
    // Delete without Close: the deleting destructor closes first.
    library.DeleteNamed(deletes[i], driver);
  }
}

TEST(LibraryExports, DeleteOfNullAndOfAnUnopenedDriverAreClean) {
  DriverLibrary library;
  ASSERT_TRUE(library.Load(TESSAVIRN_LIBRARY)) << library.error();
  for (const char* name : {"DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx2", "DeleteIPCaptureEx3"}) {
    library.DeleteNamed(name, nullptr);
  }
  auto* unopened = library.Create();
  ASSERT_NE(unopened, nullptr);
  EXPECT_EQ(unopened->GetPTZDriverEx(), nullptr);
  library.Delete(unopened);
  auto* closed_twice = library.Create();
  closed_twice->Close();
  closed_twice->Close();
  library.Delete(closed_twice);
}

TEST(LibraryExports, ReportsALibraryWithoutTheExports) {
  DriverLibrary library;
  EXPECT_FALSE(library.Load("libc.so.6"));
  EXPECT_NE(library.error().find("does not export CreateIPCapture"), std::string::npos) << library.error();
  DriverLibrary missing;
  EXPECT_FALSE(missing.Load("/nonexistent/libtessavirn.so"));
  EXPECT_NE(missing.error().find("cannot load"), std::string::npos);
}

}  // namespace
