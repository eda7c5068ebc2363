// What a PTZ test sees of the commands: every params/set.cgi request in the order it arrived,
// logged on arrival even while a delay holds its answer back, and /camsim/sets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "simulator_fixture.h"

namespace camsim_test {
namespace {

// Far longer than kGenerousWait: only the client's leaving can end it within the test.
constexpr const char* kHeldDelay = "delay:params/set.cgi?Data-1.Ptz-*:30000:1";

// The listing with each line's third field (milliseconds since start, which vary) as "MS".
std::string MaskMilliseconds(const std::string& listing) {
  std::string masked;
  std::size_t at = 0;
  while (at < listing.size()) {
    std::size_t end = listing.find('\n', at);
    end = end == std::string::npos ? listing.size() : end + 1;
    const std::string line = listing.substr(at, end - at);
    const std::size_t second = line.find('\t', line.find('\t') + 1);
    const std::size_t third = second == std::string::npos ? std::string::npos : line.find('\t', second + 1);
    masked += third == std::string::npos ? line : line.substr(0, second + 1) + "MS" + line.substr(third);
    at = end;
  }
  return masked;
}
constexpr const char* kMove = "Data-1.Ptz-1.Pan=-5&Data-1.Ptz-1.Tilt=3";

using PtzTest = SimulatorTest;

TEST_F(PtzTest, SetRequestsAreLoggedOnArrivalInOrderWithTheQueryAsSent) {
  StartWith("ptz_dome", "127.0.0.45");
  HttpTestClient client;
  ASSERT_EQ(client.Get(Url(std::string("/camsim/faults?add=") + kHeldDelay)).status, 200);
  const int held = ConnectAndSend(simulator_.address(), simulator_.port(),
                                  std::string("GET /params/set.cgi?") + kMove +
                                      " HTTP/1.1\r\nHost: camera\r\n\r\n");
  ASSERT_GE(held, 0);
  ASSERT_TRUE(simulator_.WaitForSetRequests(1, kGenerousWait));
  // The fault is used up once the held request has taken it; the next PTZ set goes unhindered.
  const auto deadline = std::chrono::steady_clock::now() + kGenerousWait;
  while (!simulator_.Faults().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(simulator_.Faults().empty());
  EXPECT_TRUE(simulator_.RequestLog().empty());  // logged as set request, not yet answered

  EXPECT_EQ(client.Get(Url("/params/set.cgi?Data-1.Ptz-2.Zoom=-4")).code, CURLE_OK);
  client.Get(Url("/params/get.cgi?Data-1.Ptz-1.Pan"));
  client.Get(Url("/camsim/params?Data-1.Ptz-1.Pan=1"));
  client.Get(Url("/params/set.cgi?Data-1.Ptz-1.Focus=%2D2&Data-1.Ptz-1.AutoFocus=Off"));
  client.Get(Url("/params/set.cgi?"));
  EXPECT_EQ(client.Post(Url("/params/set.cgi?Data-1.Ptz-1.SetPreset=1"), "").status, 405);
  ::close(held);
  // Answered (and logged) once its client has gone, long before the delay would run out.
  ASSERT_TRUE(simulator_.WaitForRequests(6, kGenerousWait));
  EXPECT_EQ(simulator_.RequestLog()[3].target, "/params/set.cgi?");
  EXPECT_EQ(simulator_.RequestLog().back().target, std::string("/params/set.cgi?") + kMove);

  const std::string expected = std::string("set\t1\tMS\t") + kMove +
                               "\r\nset\t2\tMS\tData-1.Ptz-2.Zoom=-4\r\n"
                               "set\t3\tMS\tData-1.Ptz-1.Focus=%2D2&Data-1.Ptz-1.AutoFocus=Off\r\n"
                               "set\t4\tMS\t\r\nset\t5\tMS\tData-1.Ptz-1.SetPreset=1\r\n";
  std::string seen;
  const std::vector<camsim::SetRequest> sets = simulator_.SetRequests();
  for (std::size_t i = 0; i < sets.size(); ++i) {
    seen += "set\t" + std::to_string(sets[i].sequence) + "\tMS\t" + sets[i].query + "\r\n";
    EXPECT_GE(sets[i].arrived, sets[i > 0 ? i - 1 : 0].arrived) << i;
  }
  EXPECT_EQ(seen, expected);
  // The admin listing, with each line's milliseconds since start (which vary) masked.
  const std::string listing = client.Get(Url("/camsim/sets")).body;
  EXPECT_EQ(MaskMilliseconds(listing), expected);

  EXPECT_EQ(client.Get(Url("/camsim/sets?all")).status, 400);
  EXPECT_EQ(client.Get(Url("/camsim/sets?clear")).body, "");
  client.Get(Url("/params/set.cgi?Data-1.Ptz-1.GoPreset=1"));
  ASSERT_EQ(simulator_.SetRequests().size(), 1u);
  EXPECT_EQ(simulator_.SetRequests()[0].sequence, 6u);  // sequences count on across a clear
}

}  // namespace
}  // namespace camsim_test
