// The capability query's HTTP object against a scripted camera: the bytes it sends, and what it
// makes of replies that are refused, redirected, cut short or never come.
#include "camera/http_request.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "child_program.h"
#include "scripted_tcp_server.h"

namespace {

using tessavirn_test::ScriptedTcpServer;

struct Row {
  const char* what;
  const char* user;
  const char* password;
  std::string reply;  // sent after the request; the connection closes after it
  bool received;      // Get's result
  std::uint32_t status;
  bool readable;      // ReadData works
  std::string body;
  std::string credentials;  // the Authorization header the camera saw
};

TEST(HttpRequest, SendsBasicCredentialsAndHandsOverOnlyWholeBodies) {
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\na=1\r\n";
  const std::vector<Row> rows = {
      {"empty credentials still go as Basic", "", "", ok, true, 200, true, "a=1\r\n", "Basic Og=="},
      {"credentials", "admin", "pw", ok, true, 200, true, "a=1\r\n", "Basic YWRtaW46cHc="},
      {"a challenge is not answered",
       "admin",
       "pw",
       "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=\"auth\"\r\n"
       "Content-Length: 0\r\n\r\n",
       true,
       401,
       true,
       "",
       "Basic YWRtaW46cHc="},
      {"a redirect is not followed", "", "",
       "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/elsewhere\r\nContent-Length: 0\r\n\r\n", true, 302, true,
       "", "Basic Og=="},
      {"a body cut short is not handed over", "", "",
       "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", true, 200, false, "", "Basic Og=="},
      {"no reply at all", "", "", "", false, 0, false, "", "Basic Og=="},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScriptedTcpServer camera("127.0.0.51", 0, [&row](ScriptedTcpServer::Connection& connection) {
      if (!connection.ReadRequest().empty() && !row.reply.empty()) connection.Send(row.reply);
    });
    ASSERT_TRUE(camera.listening());
    Web::HttpRequest request;
    request.SetHost("127.0.0.51");
    request.SetPort(camera.port());
    request.SetUser(row.user);
    request.SetPassword(row.password);
    EXPECT_EQ(request.Get("params/get.cgi?General.Brand*"), row.received);
    EXPECT_EQ(request.GetStatusCode(), row.status);
    std::string body;
    char piece[2];
    std::uint32_t read = 0;
    bool readable = request.ReadData(piece, sizeof piece, &read);
    for (bool more = readable && read > 0; more; more = request.ReadData(piece, sizeof piece, &read) && read > 0) {
      body.append(piece, read);
    }
    EXPECT_EQ(readable, row.readable);
    EXPECT_EQ(body, row.body);
    EXPECT_EQ(request.QueryDataAvailable(), 0u);
    // One request per Get, credentials in a header of their own, not in the target.
    const std::vector<std::string> seen = camera.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].starts_with("GET /params/get.cgi?General.Brand* HTTP/1.1\r\n")) << seen[0];
    EXPECT_NE(seen[0].find("\r\nAuthorization: " + row.credentials + "\r\n"), std::string::npos) << seen[0];
    EXPECT_NE(seen[0].find("\r\nUser-Agent: Kalmora_HttpRequest\r\n"), std::string::npos) << seen[0];
  }
}

// Abort from another thread ends a request the camera sits on, and every later one at once.
TEST(HttpRequest, AbortEndsTheRequestInProgressAndLaterOnes) {
  ScriptedTcpServer camera("127.0.0.52", 0, [](ScriptedTcpServer::Connection& connection) { connection.Hold(); });
  ASSERT_TRUE(camera.listening());
  Web::HttpRequest request;
  request.SetHost("127.0.0.52");
  request.SetPort(camera.port());
  std::thread aborter([&] {
    tessavirn_test::WaitFor([&] { return !camera.requests().empty(); });
    request.Abort();
  });
  EXPECT_FALSE(request.Get("params/get.cgi?General.Brand*"));
  aborter.join();
  EXPECT_FALSE(request.Get("params/get.cgi?General.Brand*"));
  EXPECT_EQ(camera.requests().size(), 1u);
}

}  // namespace
