// The HTTP client against the camera simulator: what the camera sees on the wire (requests,
// credentials, connections) and what the caller gets back.
#include "camera/http_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camsim/simulator.h"
#include "scripted_tcp_server.h"

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
  void StartCamera(const std::string& address, camsim::AuthMode mode = camsim::AuthMode::kNone) {
    StartSimulator(camera_, address, mode);
  }
  static void StartSimulator(camsim::Simulator& camera, const std::string& address, camsim::AuthMode mode) {
    std::string error;
    ASSERT_TRUE(camera.LoadProfileText(kProfile, &error)) << error;
    camsim::AuthSettings auth;
    auth.mode = mode;
    auth.user = "admin";
    auth.password = "right";
    camera.SetAuth(auth);
    ASSERT_TRUE(camera.Start(address, 0, &error)) << error;
  }
  void Point(CHttpClient& client, const char* user = "admin", const char* password = "right") {
    Point(client, camera_, user, password);
  }
  static void Point(CHttpClient& client, const camsim::Simulator& camera, const char* user, const char* password) {
    client.SetHost(camera.address().c_str());
    client.SetPort(camera.port());
    client.SetUser(user);
    client.SetPassword(password);
  }
  void TearDown() override { camera_.Stop(); }

  camsim::Simulator camera_;
};

// Each call is watched through the camera's log: a refused password costs one request per call
// once the client knows the camera's challenge, never a hidden repeat.
TEST_F(HttpClientTest, DigestCameraSeesOneRequestPerCallOnceItsChallengeIsKnown) {
  const struct {
    const char* label;
    const char* address;
    const char* password;
    int status;
  } cases[] = {{"wrong password", "127.0.0.61", "wrong", 401}, {"right password", "127.0.0.62", "right", 200}};
  for (const auto& c : cases) {
    camsim::Simulator camera;
    StartSimulator(camera, c.address, camsim::AuthMode::kDigest);
    CHttpClient client(kAgent, 5000);
    Point(client, camera, "admin", c.password);
    std::size_t seen = 0;
    for (int call = 0; call < 10; ++call) {
      ASSERT_TRUE(client.SendRequest("GET", kBrandPath)) << c.label << " call " << call;
      EXPECT_EQ(client.GetStatusCode(), static_cast<std::uint32_t>(c.status)) << c.label << " call " << call;
      const auto log = camera.RequestLog();
      const std::vector<camsim::RequestRecord> mine(log.begin() + static_cast<std::ptrdiff_t>(seen), log.end());
      seen = log.size();
      // The first call learns the scheme from the refused Basic request.
      std::vector<camsim::AuthUsed> expected{camsim::AuthUsed::kDigest};
      if (call == 0) expected.insert(expected.begin(), camsim::AuthUsed::kBasic);
      ASSERT_EQ(mine.size(), expected.size()) << c.label << " call " << call;
      for (std::size_t i = 0; i < mine.size(); ++i) {
        EXPECT_EQ(mine[i].auth, expected[i]) << c.label << " call " << call << " request " << i;
        EXPECT_EQ(mine[i].target, std::string("/") + kBrandPath) << c.label;
      }
      EXPECT_EQ(mine.back().status, c.status) << c.label << " call " << call;
    }
    EXPECT_EQ(client.auth_scheme(), CHttpClient::kAuthDigest) << c.label;
    EXPECT_EQ(camera.Connections().accepted, 1u) << c.label;
    camera.Stop();
  }
}

// A new camera's challenge is unknown: the first request goes without credentials and the client
// answers the challenge it brings, once.
TEST_F(HttpClientTest, DigestAfterMovingToAnotherCameraAnswersThatCamerasChallenge) {
  StartCamera("127.0.0.77", camsim::AuthMode::kDigest);
  camsim::Simulator other;
  StartSimulator(other, "127.0.0.78", camsim::AuthMode::kDigest);
  CHttpClient client(kAgent, 5000);
  Point(client);
  ASSERT_TRUE(client.SendRequest("GET", kBrandPath));
  ASSERT_EQ(client.GetStatusCode(), 200u);

  client.SetHost("127.0.0.78");
  client.SetPort(other.port());
  // The Digest uri is the target as sent, escapes included.
  const std::string path = std::string(kBrandPath) + "&note=a b";
  for (int call = 0; call < 2; ++call) ASSERT_TRUE(client.SendRequest("GET", path)) << call;
  const auto log = other.RequestLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].auth, camsim::AuthUsed::kNone);
  EXPECT_EQ(log[1].auth, camsim::AuthUsed::kDigest);
  EXPECT_EQ(log[2].auth, camsim::AuthUsed::kDigest);
  EXPECT_TRUE(log[1].auth_accepted);
  EXPECT_TRUE(log[2].auth_accepted);
  EXPECT_EQ(log[2].target, std::string("/") + kBrandPath + "&note=a%20b");
  other.Stop();
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

// A server of the test's own on loopback, for what the camera simulator cannot do: it records the
// bytes of each request and answers as told, one connection at a time, closing each after it.
using tessavirn_test::ScriptedTcpServer;
using Connection = ScriptedTcpServer::Connection;

// Answers each connection's request with the next of `replies`, the last one again after them.
ScriptedTcpServer::Script Canned(std::vector<std::string> replies) {
  return [replies = std::move(replies), served = std::size_t{0}](Connection& c) mutable {
    if (c.ReadRequest().empty()) return;
    c.Send(replies[std::min(served++, replies.size() - 1)]);
  };
}

constexpr const char* kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

// The request line, the header lines sorted, and the body of one recorded request.
struct WireRequest {
  std::string line;
  std::vector<std::string> headers;
  std::string body;
};
WireRequest Split(const std::string& request) {
  WireRequest out;
  const std::size_t end = request.find("\r\n\r\n");
  std::istringstream head(request.substr(0, end == std::string::npos ? end : end + 2));  // each line keeps its CR
  std::getline(head, out.line);
  if (!out.line.empty()) out.line.pop_back();  // CR
  for (std::string header; std::getline(head, header);) out.headers.push_back(header.substr(0, header.size() - 1));
  std::sort(out.headers.begin(), out.headers.end());
  out.body = end == std::string::npos ? std::string() : request.substr(end + 4);
  return out;
}

TEST(HttpClientWireTest, RequestsCarryOnlyTheHeadersThePlatformClientSends) {
  ScriptedTcpServer server("127.0.0.79", 0, Canned({kOk}), true);
  const std::string host = "Host: 127.0.0.79:" + std::to_string(server.port());
  const std::string agent = std::string("User-Agent: ") + kAgent;
  const std::string basic = "Authorization: Basic YWRtaW46cmlnaHQ=";  // admin:right
  const struct {
    const char* label;
    const char* user;
    const char* verb;
    std::vector<std::string> lines;
    std::string body;
    const char* request_line;
    std::vector<std::string> headers;
  } cases[] = {
      {"GET", "admin", "GET", {}, "", "GET /params/get.cgi?a HTTP/1.1", {basic, host, agent}},
      {"GET without a user", "", "GET", {}, "", "GET /params/get.cgi?a HTTP/1.1", {host, agent}},
      {"POST", "admin", "POST", {}, "a=1\r\n", "POST /params/get.cgi?a HTTP/1.1",
       {basic, "Content-Length: 5", host, agent}},
      {"POST with the caller's type", "admin", "POST", {"Content-Type: text/plain"}, "a=1\r\n",
       "POST /params/get.cgi?a HTTP/1.1", {basic, "Content-Length: 5", "Content-Type: text/plain", host, agent}},
      {"POST without a body", "admin", "POST", {}, "", "POST /params/get.cgi?a HTTP/1.1",
       {basic, "Content-Length: 0", host, agent}},
  };
  for (const auto& c : cases) {
    CHttpClient client(kAgent, 5000);
    client.SetHost("127.0.0.79");
    client.SetPort(server.port());
    client.SetUser(c.user);
    client.SetPassword("right");
    const std::size_t before = server.requests().size();
    ASSERT_TRUE(client.SendRequest(c.verb, "params/get.cgi?a", c.lines, c.body)) << c.label;
    EXPECT_EQ(client.GetStatusCode(), 200u) << c.label;
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), before + 1) << c.label;
    const WireRequest wire = Split(requests.back());
    EXPECT_EQ(wire.line, c.request_line) << c.label;
    std::vector<std::string> expected = c.headers;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(wire.headers, expected) << c.label;
    EXPECT_EQ(wire.body, c.body) << c.label;
  }
}

TEST(HttpClientWireTest, PathIsSentWithWhatCannotStandInATargetEscaped) {
  ScriptedTcpServer server("127.0.0.80", 0, Canned({kOk}), true);
  const struct {
    const char* path;
    const char* target;
  } cases[] = {
      {"params/set.cgi?Video-1.Encoder-1.Resolution=1/2 D1&x=y", "/params/set.cgi?Video-1.Encoder-1.Resolution=1/2%20D1&x=y"},
      {"/a#b\"c<d>e\\f^g`h{i|j}k", "/a%23b%22c%3Cd%3Ee%5Cf%5Eg%60h%7Bi%7Cj%7Dk"},
      {"/tab\there\r\n", "/tab%09here%0D%0A"},
      {"/\xC3\xA9\x7F", "/%C3%A9%7F"},
      {"/already%20escaped+plus?a=b&c=%zz", "/already%20escaped+plus?a=b&c=%zz"},
      {"/a/../b/./c", "/a/../b/./c"},
  };
  CHttpClient client(kAgent, 5000);
  client.SetHost("127.0.0.80");
  client.SetPort(server.port());
  for (const auto& c : cases) {
    const std::size_t before = server.requests().size();
    ASSERT_TRUE(client.SendRequest("GET", c.path)) << c.target;
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), before + 1) << c.target;
    EXPECT_EQ(Split(requests.back()).line, std::string("GET ") + c.target + " HTTP/1.1") << c.target;
  }
}

// The client's time-out is 500 ms: the header section is due by then, the whole exchange by 1 s.
TEST(HttpClientWireTest, MisbehavingServersEndWithinTheExchangeBounds) {
  constexpr std::uint32_t kTimeoutMs = 500;
  const auto answer = [](std::function<void(Connection&)> reply) {
    return [reply](Connection& c) {
      if (!c.ReadRequest().empty()) reply(c);
    };
  };
  const std::string endless_body(65536, 'x');
  const struct {
    const char* label;
    ScriptedTcpServer::Script reply;
    std::size_t cap;  // 0: the default
    bool received;
    std::chrono::milliseconds bound;  // twice the time the bounds allow
    std::size_t min_body;
    std::size_t max_body;
  } cases[] = {
      {"status line then silence", answer([](Connection& c) {
         if (c.Send("HTTP/1.1 200 OK\r\n")) c.Hold();
       }),
       0, false, 1000ms, 0, 0},
      {"body trickled a byte each 100 ms", answer([](Connection& c) {
         if (c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")) c.Trickle("x", 100ms);
       }),
       0, true, 2000ms, 1, 20},
      {"endless body, parameter cap", answer([&](Connection& c) {
         if (c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n")) c.Flood(endless_body);
       }),
       0, true, 1000ms, CHttpClient::kMaxParameterReplyBytes, CHttpClient::kMaxParameterReplyBytes},
      {"endless body, small cap", answer([&](Connection& c) {
         if (c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n")) c.Flood(endless_body);
       }),
       1000, true, 1000ms, 1000, 1000},
      {"nothing at all", [](Connection& c) { c.Hold(); }, 0, false, 1000ms, 0, 0},
      {"closed without a reply", answer([](Connection&) {}), 0, false, 1000ms, 0, 0},
  };
  for (const auto& c : cases) {
    ScriptedTcpServer server("127.0.0.84", 0, c.reply, true);
    CHttpClient client(kAgent, kTimeoutMs);
    client.SetHost("127.0.0.84");
    client.SetPort(server.port());
    if (c.cap != 0) client.SetMaxBodyBytes(c.cap);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client.SendRequest("GET", "video.jpg"), c.received) << c.label;
    EXPECT_LT(std::chrono::steady_clock::now() - started, c.bound) << c.label;
    EXPECT_EQ(client.GetStatusCode(), c.received ? 200u : 0u) << c.label;
    std::vector<std::uint8_t> body;
    const std::size_t got = client.ReadResponseBody(body, 51200);
    EXPECT_GE(got, c.min_body) << c.label;
    EXPECT_LE(got, c.max_body) << c.label;
    EXPECT_TRUE(std::all_of(body.begin(), body.end(), [](std::uint8_t byte) { return byte == 'x'; })) << c.label;
  }
}

// A stale nonce is answered again at once with the new one; the nonce count runs per nonce.
TEST(HttpClientWireTest, DigestAnswersAStaleNonceOnceWithTheNewOne) {
  const auto challenge = [](const char* nonce, bool stale) {
    return std::string("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"cam\", nonce=\"") + nonce +
           "\", qop=\"auth\"" + (stale ? ", stale=true" : "") +
           "\r\nWWW-Authenticate: Basic realm=\"cam\"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  };
  ScriptedTcpServer server(
      "127.0.0.89", 0, Canned({challenge("n1", false), kOk, challenge("n2", true), kOk, challenge("n3", false)}), true);
  CHttpClient client(kAgent, 5000);
  client.SetHost("127.0.0.89");
  client.SetPort(server.port());
  client.SetUser("admin");
  client.SetPassword("right");
  ASSERT_TRUE(client.SendRequest("GET", "x"));
  ASSERT_TRUE(client.SendRequest("GET", "x"));
  EXPECT_EQ(client.GetStatusCode(), 200u);
  ASSERT_TRUE(client.SendRequest("GET", "x"));
  EXPECT_EQ(client.GetStatusCode(), 401u);
  const struct {
    const char* label;
    std::vector<const char*> parts;  // in the Authorization line
  } cases[] = {
      {"first call, Basic", {"Authorization: Basic "}},
      {"first call, Digest", {"Authorization: Digest ", "nonce=\"n1\"", "nc=00000001", "uri=\"/x\"", "qop=auth"}},
      {"second call, old nonce", {"Authorization: Digest ", "nonce=\"n1\"", "nc=00000002"}},
      {"second call, new nonce", {"Authorization: Digest ", "nonce=\"n2\"", "nc=00000001"}},
      {"third call, refused", {"Authorization: Digest ", "nonce=\"n2\"", "nc=00000002"}},
  };
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), std::size(cases));
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const auto headers = Split(requests[i]).headers;
    const auto line = std::find_if(headers.begin(), headers.end(),
                                   [](const std::string& h) { return h.rfind("Authorization: ", 0) == 0; });
    ASSERT_NE(line, headers.end()) << cases[i].label;
    for (const char* part : cases[i].parts) EXPECT_NE(line->find(part), std::string::npos) << cases[i].label << ": " << *line;
  }
}

}  // namespace
}  // namespace Web
