// The HTTP client against the camera simulator: what the camera sees on the wire (requests,
// credentials, connections) and what the caller gets back.
#include "camera/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "camsim/simulator.h"

namespace Web {
namespace {

using namespace std::chrono_literals;

constexpr const char* kAgent = "Kalmora::HttpClient";
constexpr const char* kProfile =
    "General.Brand.Brand=Orvane\r\n"
    "General.Brand.ProdNbr=ZD-220\r\n"
    "General.Brand.ProdType=PTZ Dome Network Camera\r\n";
constexpr const char* kBrandPath = "params/get.cgi?General.Brand*";

std::string BodyText(CHttpClient& client) {
  std::vector<std::uint8_t> body;
  client.ReadResponseBody(body, 10240);
  return std::string(body.begin(), body.end());
}

class HttpClientTest : public ::testing::Test {
 protected:
  // Each test names its own loopback address, so suites run in parallel.
  void StartCamera(const std::string& address, camsim::AuthMode mode = camsim::AuthMode::kNone,
                   const std::string& password = "right") {
    std::string error;
    ASSERT_TRUE(camera_.LoadProfileText(kProfile, &error)) << error;
    camsim::AuthSettings auth;
    auth.mode = mode;
    auth.user = "admin";
    auth.password = password;
    camera_.SetAuth(auth);
    ASSERT_TRUE(camera_.Start(address, 0, &error)) << error;
  }
  void Point(CHttpClient& client, const char* user = "admin", const char* password = "right") {
    client.SetHost(camera_.address().c_str());
    client.SetPort(camera_.port());
    client.SetUser(user);
    client.SetPassword(password);
  }
  void TearDown() override { camera_.Stop(); }

  camsim::Simulator camera_;
};

TEST_F(HttpClientTest, DigestCameraRefusingThePasswordSeesBasicThenDigestOnly) {
  StartCamera("127.0.0.61", camsim::AuthMode::kDigest);
  CHttpClient client(kAgent, 5000);
  Point(client, "admin", "wrong");
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  EXPECT_EQ(client.GetStatusCode(), 401u);
  const auto log = camera_.RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].auth, camsim::AuthUsed::kBasic);
  EXPECT_EQ(log[1].auth, camsim::AuthUsed::kDigest);
  EXPECT_EQ(log[1].target, std::string("/") + kBrandPath);
  EXPECT_EQ(client.auth_scheme(), CHttpClient::kAuthDigest);
}

TEST_F(HttpClientTest, DigestCameraAcceptingThePasswordKeepsDigestForLaterRequests) {
  StartCamera("127.0.0.62", camsim::AuthMode::kDigest);
  CHttpClient client(kAgent, 5000);
  Point(client);
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  EXPECT_EQ(client.GetStatusCode(), 200u);
  EXPECT_EQ(BodyText(client),
            "General.Brand.Brand=Orvane\r\nGeneral.Brand.ProdNbr=ZD-220\r\n"
            "General.Brand.ProdType=PTZ Dome Network Camera\r\n");
  ASSERT_TRUE(client.SendRequest("GET", "params/get.cgi?General.Brand.Brand"));
  EXPECT_EQ(client.GetStatusCode(), 200u);
  const auto log = camera_.RequestLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0].auth, camsim::AuthUsed::kBasic);
  for (size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].auth, camsim::AuthUsed::kDigest) << i;
  EXPECT_TRUE(log.back().auth_accepted);
}

TEST_F(HttpClientTest, BasicCameraRefusingThePasswordTakesOneExchange) {
  StartCamera("127.0.0.63", camsim::AuthMode::kBasic);
  CHttpClient client(kAgent, 5000);
  Point(client, "admin", "wrong");
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  EXPECT_EQ(client.GetStatusCode(), 401u);
  const auto log = camera_.RequestLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].auth, camsim::AuthUsed::kBasic);
  EXPECT_EQ(log[0].auth_user, "admin");
}

TEST_F(HttpClientTest, CredentialsGoOnlyWithAUserName) {
  StartCamera("127.0.0.64");
  CHttpClient anonymous(kAgent, 5000);
  Point(anonymous, "", "secret");
  ASSERT_TRUE(anonymous.SendRequest("GET", kBrandPath));
  CHttpClient named(kAgent, 5000);
  Point(named, "admin", "right");
  ASSERT_TRUE(named.SendRequest("GET", kBrandPath));
  const auto log = camera_.RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].auth, camsim::AuthUsed::kNone);
  EXPECT_EQ(log[1].auth, camsim::AuthUsed::kBasic);
}

TEST_F(HttpClientTest, TenRequestsShareOneConnection) {
  StartCamera("127.0.0.65", camsim::AuthMode::kBasic);
  CHttpClient client(kAgent, 5000);
  Point(client);
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(client.SendRequest("GET", kBrandPath)) << i;
    EXPECT_EQ(client.GetStatusCode(), 200u) << i;
  }
  EXPECT_EQ(camera_.Connections().accepted, 1u);
  const auto log = camera_.RequestLog();
  ASSERT_EQ(log.size(), 10u);
  for (const auto& record : log) EXPECT_EQ(record.connection_id, log[0].connection_id);
}

TEST_F(HttpClientTest, OnlyADifferentHostOrPortMakesANewConnection) {
  StartCamera("127.0.0.66");
  camsim::Simulator other;
  std::string error;
  ASSERT_TRUE(other.LoadProfileText(kProfile, &error)) << error;
  ASSERT_TRUE(other.Start("127.0.0.67", 0, &error)) << error;

  CHttpClient client(kAgent, 5000);
  Point(client);
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  client.SetHost("127.0.0.66");  // the same host again
  client.SetPort(camera_.port());
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  EXPECT_EQ(camera_.Connections().accepted, 1u);

  client.SetHost("127.0.0.67");
  client.SetPort(other.port());
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  EXPECT_EQ(other.Connections().accepted, 1u);

  client.SetHost("127.0.0.66");
  client.SetPort(camera_.port());
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  EXPECT_EQ(camera_.Connections().accepted, 2u);
  other.Stop();
}

TEST_F(HttpClientTest, EmptyVerbOrPathSendsNothing) {
  StartCamera("127.0.0.68");
  CHttpClient client(kAgent, 5000);
  Point(client);
  EXPECT_FALSE(client.SendRequest("", kBrandPath));
  EXPECT_FALSE(client.SendRequest("GET", ""));
  EXPECT_EQ(client.GetStatusCode(), 0u);
  EXPECT_TRUE(camera_.RequestLog().empty());
  EXPECT_EQ(camera_.Connections().accepted, 0u);
}

TEST_F(HttpClientTest, CloseRequestFromAnotherThreadEndsAStalledBodyWithTheBytesSoFar) {
  StartCamera("127.0.0.69");
  camera_.AddFault({camsim::FaultKind::kStall, "video.jpg", 20000, -1});
  const std::string picture = camera_.JpegPicture();
  CHttpClient client(kAgent, 30000);
  Point(client);

  std::thread closer([&] {
    camera_.WaitForRequests(1, 5s);
    std::this_thread::sleep_for(300ms);
    client.CloseRequest();
  });
  const auto started = std::chrono::steady_clock::now();
  const bool received = client.SendRequest("GET", "video.jpg");
  const auto took = std::chrono::steady_clock::now() - started;
  closer.join();

  EXPECT_LT(took, 10s) << "the abort must not wait for the stall to end";
  ASSERT_TRUE(received);
  EXPECT_EQ(client.GetStatusCode(), 200u);
  EXPECT_EQ(client.GetContentLength(), picture.size());
  std::vector<std::uint8_t> body;
  const size_t got = client.ReadResponseBody(body, 51200);
  EXPECT_GT(got, 0u);
  EXPECT_LT(got, picture.size());
  EXPECT_EQ(std::string(body.begin(), body.end()), picture.substr(0, got));
}

TEST_F(HttpClientTest, AStallLongerThanTheTimeOutFailsTheExchange) {
  StartCamera("127.0.0.70");
  camera_.AddFault({camsim::FaultKind::kDelay, "params/*", 10000, -1});
  CHttpClient client(kAgent, 500);
  Point(client);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.SendRequest("GET", kBrandPath));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
  EXPECT_EQ(client.GetStatusCode(), 0u);
}

TEST_F(HttpClientTest, BodyWithoutContentLengthIsReadToItsEnd) {
  StartCamera("127.0.0.71");
  const std::string picture = camera_.JpegPicture();
  for (auto kind : {camsim::FaultKind::kChunked, camsim::FaultKind::kCloseDelimited}) {
    camera_.ClearFaults();
    camera_.AddFault({kind, "video.jpg", 0, -1});
    CHttpClient client(kAgent, 5000);
    Point(client);
    ASSERT_TRUE(client.SendRequest("GET", "video.jpg")) << camsim::FaultKindName(kind);
    EXPECT_EQ(client.GetContentLength(), 0u) << camsim::FaultKindName(kind);
    std::vector<std::uint8_t> body;
    EXPECT_EQ(client.ReadResponseBody(body, 51200), picture.size()) << camsim::FaultKindName(kind);
    EXPECT_EQ(std::string(body.begin(), body.end()), picture) << camsim::FaultKindName(kind);
  }
}

TEST_F(HttpClientTest, PostCarriesHeaderLinesAndTheBodyBytes) {
  StartCamera("127.0.0.72", camsim::AuthMode::kBasic);
  CHttpClient client(kAgent, 5000);
  Point(client);
  const std::string form = "General.Brand.ProdNbr=ZD-230\r\n";
  ASSERT_TRUE(client.SendRequest("POST", "/api/param.cgi", {"Content-Type: text/plain"}, form));
  ASSERT_TRUE(client.SendRequest("GET", "params/get.cgi?General.Brand.ProdNbr"));
  EXPECT_EQ(BodyText(client), "General.Brand.ProdNbr=ZD-230\r\n");
  const auto log = camera_.RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].method, "POST");
  EXPECT_EQ(log[0].body, form);
  EXPECT_EQ(log[1].method, "GET");
  EXPECT_TRUE(log[1].body.empty()) << "a GET after a POST must not carry the old body";
}

TEST_F(HttpClientTest, ErrorStatusIsAReceivedResponse) {
  StartCamera("127.0.0.73");
  camera_.AddFault({camsim::FaultKind::kStatus, "params/*", 503, 1});
  CHttpClient client(kAgent, 5000);
  Point(client);
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  EXPECT_EQ(client.GetStatusCode(), 503u);
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  EXPECT_EQ(client.GetStatusCode(), 200u);
}

TEST_F(HttpClientTest, ConnectionClosedMidReplyKeepsWhatArrived) {
  StartCamera("127.0.0.74");
  camera_.AddFault({camsim::FaultKind::kCloseMidReply, "video.jpg", 0, 1});
  const std::string picture = camera_.JpegPicture();
  CHttpClient client(kAgent, 5000);
  Point(client);
  ASSERT_TRUE(client.SendRequest("GET", "video.jpg"));
  std::vector<std::uint8_t> body;
  const size_t got = client.ReadResponseBody(body, 51200);
  EXPECT_LT(got, picture.size());
  EXPECT_EQ(std::string(body.begin(), body.end()), picture.substr(0, got));
  // The next request reconnects and gets the whole picture.
  ASSERT_TRUE(client.SendRequest("GET", "video.jpg"));
  EXPECT_EQ(client.ReadResponseBody(body, 51200), picture.size());
}

TEST_F(HttpClientTest, NothingListeningFailsWithoutStatus) {
  CHttpClient client(kAgent, 2000);
  client.SetHost("127.0.0.75");
  client.SetPort(9);
  EXPECT_FALSE(client.SendRequest("GET", kBrandPath));
  EXPECT_EQ(client.GetStatusCode(), 0u);
  std::vector<std::uint8_t> body{1, 2, 3};
  EXPECT_EQ(client.ReadResponseBody(body, 10240), 0u);
  EXPECT_TRUE(body.empty());
}

TEST_F(HttpClientTest, BodyIsReadOnceAndCloseRequestDropsItButNotTheConnection) {
  StartCamera("127.0.0.76");
  CHttpClient client(kAgent, 5000);
  Point(client);
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  std::vector<std::uint8_t> body;
  EXPECT_GT(client.ReadResponseBody(body, 7), 0u);  // small pieces still give the whole body
  EXPECT_EQ(client.ReadResponseBody(body, 10240), 0u);
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  client.CloseRequest();
  EXPECT_EQ(client.ReadResponseBody(body, 10240), 0u);
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  EXPECT_EQ(client.GetStatusCode(), 200u);
  EXPECT_EQ(camera_.Connections().accepted, 1u);
}

}  // namespace
}  // namespace Web
