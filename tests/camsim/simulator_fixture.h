#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "camsim/simulator.h"
#include "http_test_client.h"

namespace camsim_test {

// Long enough never to run out on a loaded machine when things work.
constexpr std::chrono::milliseconds kGenerousWait{10000};

inline std::string ProfilePath(const std::string& name) {
  return std::string(CAMSIM_PROFILE_DIR) + "/" + name + ".params";
}

// A simulator with a profile, on an address of the suite's own and a free port, stopped at the
// end of the test.
class SimulatorTest : public ::testing::Test {
 protected:
  void StartWith(const std::string& profile, const std::string& address) {
    std::string error;
    ASSERT_TRUE(simulator_.LoadProfileFile(ProfilePath(profile), &error)) << error;
    ASSERT_TRUE(simulator_.Start(address, 0, &error)) << error;
    ASSERT_NE(simulator_.port(), 0);
  }
  void TearDown() override { simulator_.Stop(); }
  // target with or without its leading '/', as the driver writes it.
  std::string Url(const std::string& target) const {
    return simulator_.base_url() + (target.starts_with('/') ? "" : "/") + target;
  }

  camsim::Simulator simulator_;
};

}  // namespace camsim_test
