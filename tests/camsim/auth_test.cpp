// Basic and Digest authentication as libmicrohttpd checks them, seen from a client.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator_fixture.h"

namespace camsim_test {
namespace {

constexpr const char* kAddress = "127.0.0.25";
constexpr const char* kTarget = "/params/get.cgi?General.Brand.ModelName";
constexpr const char* kModelLine = "General.Brand.ModelName=VE-4400\r\n";

class AuthTest : public SimulatorTest {
 protected:
  void StartWithAuth(camsim::AuthMode mode) {
    camsim::AuthSettings auth;
    auth.mode = mode;
    auth.user = "operator";
    auth.password = "s3cret";
    auth.realm = "Warehouse encoder";
    simulator_.SetAuth(auth);
    StartWith("encoder_4ch", kAddress);
  }
};

TEST_F(AuthTest, BasicAcceptsTheRightCredentials) {
  StartWithAuth(camsim::AuthMode::kBasic);
  HttpTestClient client;
  client.SetAuth(CURLAUTH_BASIC, "operator", "s3cret");
  const HttpResponse response = client.Get(Url(kTarget));
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, kModelLine);
  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].auth, camsim::AuthUsed::kBasic);
  EXPECT_EQ(log[0].auth_user, "operator");
  EXPECT_TRUE(log[0].auth_accepted);
}

TEST_F(AuthTest, BasicRefusesWrongOrMissingCredentialsWithAChallenge) {
  StartWithAuth(camsim::AuthMode::kBasic);
  HttpTestClient wrong;
  wrong.SetAuth(CURLAUTH_BASIC, "operator", "guess");
  const HttpResponse refused = wrong.Get(Url(kTarget));
  EXPECT_EQ(refused.status, 401);
  EXPECT_TRUE(refused.has_header("WWW-Authenticate: Basic realm=\"Warehouse encoder\""))
      << refused.headers;
  EXPECT_EQ(refused.body.find("VE-4400"), std::string::npos);
  HttpTestClient anonymous;
  EXPECT_EQ(anonymous.Get(Url(kTarget)).status, 401);
  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].auth, camsim::AuthUsed::kBasic);
  EXPECT_FALSE(log[0].auth_accepted);
  EXPECT_EQ(log[0].status, 401);
  EXPECT_EQ(log[1].auth, camsim::AuthUsed::kNone);
  EXPECT_FALSE(log[1].auth_accepted);
}

TEST_F(AuthTest, OnlyBasicOfferedRefusesDigestCredentials) {
  StartWithAuth(camsim::AuthMode::kBasic);
  HttpTestClient client;
  client.SetAuth(CURLAUTH_DIGEST, "operator", "s3cret");
  const HttpResponse response = client.Get(Url(kTarget));
  // The challenge offers Basic only, which a Digest-only client cannot answer.
  EXPECT_EQ(response.status, 401);
  EXPECT_TRUE(response.has_header("WWW-Authenticate: Basic"));
  EXPECT_FALSE(response.has_header("WWW-Authenticate: Digest"));
  EXPECT_EQ(simulator_.RequestLog().size(), 1u);
}

TEST_F(AuthTest, DigestRefusesBasicThenAcceptsDigestOnTheSameConnection) {
  StartWithAuth(camsim::AuthMode::kDigest);
  HttpTestClient client;
  // The driver's client starts with Basic and moves to the scheme the camera offers.
  client.SetAuth(CURLAUTH_BASIC, "operator", "s3cret");
  const HttpResponse basic = client.Get(Url(kTarget));
  EXPECT_EQ(basic.status, 401);
  EXPECT_TRUE(basic.has_header("WWW-Authenticate: Digest realm=\"Warehouse encoder\""))
      << basic.headers;
  client.SetAuth(CURLAUTH_DIGEST, "operator", "s3cret");
  const HttpResponse digest = client.Get(Url(kTarget));
  EXPECT_EQ(digest.status, 200);
  EXPECT_EQ(digest.body, kModelLine);

  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  // The Digest exchange answers the challenge of the refused Basic one: two exchanges in all.
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].auth, camsim::AuthUsed::kBasic);
  EXPECT_EQ(log[0].auth_user, "operator");
  EXPECT_FALSE(log[0].auth_accepted);
  EXPECT_EQ(log[0].status, 401);
  EXPECT_EQ(log[1].auth, camsim::AuthUsed::kDigest);
  EXPECT_EQ(log[1].auth_user, "operator");
  EXPECT_TRUE(log[1].auth_accepted);
  EXPECT_EQ(log[1].status, 200);
  EXPECT_EQ(log[1].connection_id, log[0].connection_id);
  EXPECT_EQ(simulator_.Connections().accepted, 1u);
}

TEST_F(AuthTest, DigestWithAWrongPasswordEndsAfterTwoExchanges) {
  StartWithAuth(camsim::AuthMode::kDigest);
  HttpTestClient client;
  client.SetAuth(CURLAUTH_DIGEST, "operator", "guess");
  const HttpResponse response = client.Get(Url(kTarget));
  EXPECT_EQ(response.status, 401);
  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].auth, camsim::AuthUsed::kDigest);
  EXPECT_FALSE(log[1].auth_accepted);
  EXPECT_EQ(log[1].status, 401);
}

TEST_F(AuthTest, DigestRefusesAnotherUser) {
  StartWithAuth(camsim::AuthMode::kDigest);
  HttpTestClient client;
  client.SetAuth(CURLAUTH_DIGEST, "intruder", "s3cret");
  EXPECT_EQ(client.Get(Url(kTarget)).status, 401);
  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].auth_user, "intruder");
  EXPECT_FALSE(log[1].auth_accepted);
}

TEST_F(AuthTest, DigestProtectsThePictureToo) {
  StartWithAuth(camsim::AuthMode::kDigest);
  HttpTestClient anonymous;
  EXPECT_EQ(anonymous.Get(Url("/video.jpg")).status, 401);
  HttpTestClient client;
  client.SetAuth(CURLAUTH_DIGEST, "operator", "s3cret");
  const HttpResponse response = client.Get(Url("/video.jpg"));
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, simulator_.JpegPicture());
}

TEST_F(AuthTest, NoAuthenticationAcceptsAnyCredentials) {
  StartWithAuth(camsim::AuthMode::kNone);
  HttpTestClient client;
  client.SetAuth(CURLAUTH_BASIC, "anyone", "anything");
  EXPECT_EQ(client.Get(Url(kTarget)).status, 200);
  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].auth, camsim::AuthUsed::kBasic);
  EXPECT_EQ(log[0].auth_user, "anyone");
  EXPECT_TRUE(log[0].auth_accepted);
}

TEST_F(AuthTest, ChangedCredentialsApplyToTheNextRequest) {
  StartWithAuth(camsim::AuthMode::kBasic);
  HttpTestClient client;
  client.SetAuth(CURLAUTH_BASIC, "operator", "s3cret");
  ASSERT_EQ(client.Get(Url(kTarget)).status, 200);
  camsim::AuthSettings changed = simulator_.auth();
  changed.password = "rotated";
  simulator_.SetAuth(changed);
  EXPECT_EQ(client.Get(Url(kTarget)).status, 401);
}

}  // namespace
}  // namespace camsim_test
