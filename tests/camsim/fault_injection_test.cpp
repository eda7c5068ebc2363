// HTTP faults as a client sees them on the wire.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "simulator_fixture.h"

namespace camsim_test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* kAddress = "127.0.0.26";
constexpr const char* kModelTarget = "/params/get.cgi?General.Brand.ModelName";
constexpr const char* kModelLine = "General.Brand.ModelName=HSD620\r\n";
// Far longer than any test waits, so that only Stop or the client's leaving can end it.
constexpr int kLongStallMs = 20000;

camsim::Fault MakeFault(camsim::FaultKind kind, const std::string& pattern, int value = 0,
                        int count = -1) {
  return camsim::Fault{kind, pattern, value, count};
}

class FaultTest : public SimulatorTest {
 protected:
  void SetUp() override { StartWith("ptz_dome", kAddress); }
  HttpTestClient client_;
};

TEST_F(FaultTest, DelayHoldsTheAnswerBack) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kDelay, "params/get.cgi*", 300));
  const HttpResponse response = client_.Get(Url(kModelTarget));
  EXPECT_EQ(response.body, kModelLine);
  EXPECT_GE(response.seconds, 0.3);
}

TEST_F(FaultTest, CountedFaultAppliesToThatManyMatchingRequests) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kStatus, "params/set.cgi*", 503, 2));
  // Requests the pattern does not match leave the count alone.
  EXPECT_EQ(client_.Get(Url(kModelTarget)).status, 200);
  EXPECT_EQ(client_.Get(Url("/params/set.cgi?Data-1.Ptz-1.Zoom=4")).status, 503);
  EXPECT_EQ(client_.Get(Url("/params/set.cgi?Data-1.Ptz-1.Zoom=4")).status, 503);
  EXPECT_TRUE(simulator_.Faults().empty());
  EXPECT_EQ(client_.Get(Url("/params/set.cgi?Data-1.Ptz-1.Zoom=4")).status, 200);
}

TEST_F(FaultTest, ForcedStatusAnswersWithoutTouchingTheTree) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kStatus, "params/set.cgi*", 500));
  const HttpResponse response = client_.Get(Url("/params/set.cgi?Data-1.Ptz-1.Pan=7"));
  EXPECT_EQ(response.status, 500);
  EXPECT_EQ(simulator_.GetParameter("Data-1.Ptz-1.Pan"), "0");
  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].status, 500);
}

TEST_F(FaultTest, StallHoldsTheRestOfTheBodyThenSendsIt) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kStall, "video.jpg", 400));
  const HttpResponse response = client_.Get(Url("/video.jpg"));
  EXPECT_EQ(response.code, CURLE_OK);
  EXPECT_EQ(response.body, simulator_.JpegPicture());
  EXPECT_GE(response.seconds, 0.4);
}

TEST_F(FaultTest, StalledBodyArrivesHalfBeforeTheStall) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kStall, "video.jpg", kLongStallMs));
  client_.SetTimeout(milliseconds(1500));
  const HttpResponse response = client_.Get(Url("/video.jpg"));
  EXPECT_EQ(response.code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(response.status, 200);
  const std::string picture = simulator_.JpegPicture();
  EXPECT_EQ(response.body, picture.substr(0, picture.size() / 2));
}

TEST_F(FaultTest, StallEndsWhenTheClientGoesAway) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kStall, "video.jpg", kLongStallMs));
  const auto start = steady_clock::now();
  {
    HttpTestClient client;
    client.SetTimeout(milliseconds(300));
    EXPECT_EQ(client.Get(Url("/video.jpg")).code, CURLE_OPERATION_TIMEDOUT);
  }
  // Well before the stall would run out, the simulator has let go of the connection.
  EXPECT_TRUE(simulator_.WaitForClosedConnections(1, kGenerousWait));
  EXPECT_LT(steady_clock::now() - start, milliseconds(kLongStallMs));
}

TEST_F(FaultTest, StopEndsAStallInProgress) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kStall, "video.jpg", kLongStallMs));
  HttpResponse response;
  std::thread reader([&] {
    HttpTestClient client;
    client.SetTimeout(milliseconds(2 * kLongStallMs));
    response = client.Get(Url("/video.jpg"));
  });
  ASSERT_TRUE(simulator_.WaitForRequests(1, kGenerousWait));
  const auto start = steady_clock::now();
  simulator_.Stop();
  const auto stop_took = steady_clock::now() - start;
  reader.join();
  EXPECT_LT(stop_took, kGenerousWait);
  EXPECT_NE(response.code, CURLE_OK);
  EXPECT_LT(response.body.size(), simulator_.JpegPicture().size());
}

TEST_F(FaultTest, StopEndsADelayInProgress) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kDelay, "*", kLongStallMs));
  HttpResponse response;
  std::thread reader([&] {
    HttpTestClient client;
    client.SetTimeout(milliseconds(2 * kLongStallMs));
    response = client.Get(Url(kModelTarget));
  });
  // A delayed request is logged when it is answered; its connection shows at once.
  const auto deadline = steady_clock::now() + kGenerousWait;
  while (simulator_.Connections().accepted == 0 && steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  ASSERT_EQ(simulator_.Connections().accepted, 1u);
  const auto start = steady_clock::now();
  simulator_.Stop();
  const auto stop_took = steady_clock::now() - start;
  reader.join();
  EXPECT_LT(stop_took, kGenerousWait);
  EXPECT_LT(response.seconds, kLongStallMs / 1000.0);
}

TEST_F(FaultTest, CloseMidReplyCutsTheBodyShort) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kCloseMidReply, "video.jpg", 0, 1));
  const HttpResponse cut = client_.Get(Url("/video.jpg"));
  EXPECT_EQ(cut.code, CURLE_PARTIAL_FILE);
  const std::string picture = simulator_.JpegPicture();
  EXPECT_EQ(cut.body, picture.substr(0, picture.size() / 2));
  // The connection is gone; the next request opens another one and gets everything.
  const HttpResponse whole = client_.Get(Url("/video.jpg"));
  EXPECT_EQ(whole.code, CURLE_OK);
  EXPECT_EQ(whole.body, picture);
  EXPECT_EQ(simulator_.Connections().accepted, 2u);
}

TEST_F(FaultTest, CloseMidReplyOfAnEmptyBodyStillLeavesTheClientShort) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kCloseMidReply, "params/get.cgi*"));
  const HttpResponse response = client_.Get(Url("/params/get.cgi?No.Such.Key"));
  EXPECT_EQ(response.code, CURLE_PARTIAL_FILE);
}

TEST_F(FaultTest, RejectCredentialsRefusesTheRightPassword) {
  camsim::AuthSettings auth;
  auth.mode = camsim::AuthMode::kBasic;
  auth.password = "pw";
  simulator_.SetAuth(auth);
  simulator_.AddFault(MakeFault(camsim::FaultKind::kRejectCredentials, "*", 0, 1));
  client_.SetAuth(CURLAUTH_BASIC, "admin", "pw");
  const HttpResponse refused = client_.Get(Url(kModelTarget));
  EXPECT_EQ(refused.status, 401);
  EXPECT_TRUE(refused.has_header("WWW-Authenticate: Basic"));
  EXPECT_EQ(client_.Get(Url(kModelTarget)).status, 200);
  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_FALSE(log[0].auth_accepted);
  EXPECT_TRUE(log[1].auth_accepted);
}

TEST_F(FaultTest, ChunkedAnswerHasNoContentLengthAndKeepsTheConnection) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kChunked, "params/*"));
  const HttpResponse first = client_.Get(Url(kModelTarget));
  EXPECT_EQ(first.body, kModelLine);
  EXPECT_TRUE(first.has_header("Transfer-Encoding: chunked")) << first.headers;
  EXPECT_FALSE(first.has_header("Content-Length:"));
  EXPECT_EQ(client_.Get(Url(kModelTarget)).body, kModelLine);
  EXPECT_EQ(simulator_.Connections().accepted, 1u);
}

TEST_F(FaultTest, CloseDelimitedAnswerEndsWithTheConnection) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kCloseDelimited, "params/*"));
  const std::string raw = RawExchange(
      kAddress, simulator_.port(),
      std::string("GET ") + kModelTarget + " HTTP/1.1\r\nHost: cam\r\n\r\n", kGenerousWait);
  // The server closed the connection without being asked to: the body ends there.
  EXPECT_TRUE(raw.ends_with(std::string("\r\n\r\n") + kModelLine)) << raw;
  EXPECT_EQ(raw.find("Content-Length"), std::string::npos);
  EXPECT_EQ(raw.find("chunked"), std::string::npos);
  const HttpResponse response = client_.Get(Url(kModelTarget));
  EXPECT_EQ(response.code, CURLE_OK);
  EXPECT_EQ(response.body, kModelLine);
}

TEST_F(FaultTest, PatternsMatchTheTargetWithoutTheLeadingSlash) {
  simulator_.AddFault(MakeFault(camsim::FaultKind::kStatus, "api/param.cgi?req=Network*", 403));
  EXPECT_EQ(client_.Get(Url("/api/param.cgi?req=Network.1")).status, 403);
  EXPECT_EQ(client_.Get(Url("/api/param.cgi?req=General.Brand")).status, 200);
  EXPECT_EQ(client_.Get(Url("/params/get.cgi?Network.1")).status, 200);
}

}  // namespace
}  // namespace camsim_test
