// The pieces of the client's own Basic and Digest authentication: MD5, challenge parsing and the
// credentials it sends.
#include "camera/http_auth.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera/md5.h"

namespace Web {
namespace {

TEST(HttpAuthTest, Md5MatchesTheReferenceDigests) {
  const struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // 55 and 56 bytes: the length still fits the last block, and no longer does.
      {std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
      {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
  };
  for (const auto& c : cases) EXPECT_EQ(Md5Hex(c.input), c.digest) << c.input.size() << " bytes";
}

TEST(HttpAuthTest, ChallengesAreSplitIntoSchemesAndParameters) {
  const struct {
    const char* label;
    const char* header;
    std::vector<std::string> schemes;
    const char* nonce;  // of the first challenge
  } cases[] = {
      {"one Digest", R"(Digest realm="Cam", nonce="abc", qop="auth")", {"Digest"}, "abc"},
      {"two in one header", R"(Digest realm="a, b", nonce="n1", qop="auth,auth-int", Basic realm="a")",
       {"Digest", "Basic"}, "n1"},
      {"bare schemes", "Negotiate, NTLM", {"Negotiate", "NTLM"}, ""},
      {"token values and spaces", "digest  NONCE = n2 ,algorithm=MD5", {"digest"}, "n2"},
      {"escaped quote", R"(Digest nonce="a\"b")", {"Digest"}, "a\"b"},
      {"unterminated quote", R"(Digest nonce="abc)", {"Digest"}, "abc"},
      {"junk", "= , \"\"", {}, ""},
      {"empty", "", {}, ""},
  };
  for (const auto& c : cases) {
    const auto challenges = ParseChallenges(c.header);
    std::vector<std::string> schemes;
    for (const auto& challenge : challenges) schemes.push_back(challenge.scheme);
    EXPECT_EQ(schemes, c.schemes) << c.label;
    if (!challenges.empty()) {
      EXPECT_EQ(challenges[0].Param("nonce"), c.nonce) << c.label;
    }
  }
}

TEST(HttpAuthTest, OnlyDigestChallengesTheClientCanAnswerAreUsable) {
  const struct {
    const char* label;
    const char* header;
    bool usable;
    bool sess;
    bool qop_auth;
    bool stale;
  } cases[] = {
      {"MD5 with qop", R"(Digest realm="r", nonce="n", qop="auth")", true, false, true, false},
      {"no algorithm, no qop", R"(Digest realm="r", nonce="n")", true, false, false, false},
      {"MD5-sess", R"(Digest nonce="n", algorithm=md5-sess, qop="auth-int, auth")", true, true, true, false},
      {"stale", R"(Digest nonce="n", stale=TRUE)", true, false, false, true},
      {"SHA-256", R"(Digest nonce="n", algorithm=SHA-256)", false, false, false, false},
      {"auth-int only", R"(Digest nonce="n", qop="auth-int")", false, false, false, false},
      {"no nonce", R"(Digest realm="r")", false, false, false, false},
      {"Basic", R"(Basic realm="r")", false, false, false, false},
  };
  for (const auto& c : cases) {
    const auto challenges = ParseChallenges(c.header);
    ASSERT_EQ(challenges.size(), 1u) << c.label;
    const auto digest = UsableDigest(challenges[0]);
    ASSERT_EQ(digest.has_value(), c.usable) << c.label;
    if (!digest) continue;
    EXPECT_EQ(digest->sess, c.sess) << c.label;
    EXPECT_EQ(digest->qop_auth, c.qop_auth) << c.label;
    EXPECT_EQ(digest->stale, c.stale) << c.label;
  }
}

TEST(HttpAuthTest, CredentialsMatchTheWorkedExamplesOfTheRfcs) {
  // RFC 7617 section 2 and RFC 2617 section 3.5.
  EXPECT_EQ(BasicCredentials("Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(BasicCredentials("a", ""), "Basic YTo=");
  const auto challenges = ParseChallenges(
      R"(Digest realm="testrealm@host.com", qop="auth,auth-int", nonce="dcd98b7102dd2f0e8b11d0f600bfb0c093", )"
      R"(opaque="5ccc069c403ebaf9f0171e9517f40e41")");
  ASSERT_EQ(challenges.size(), 1u);
  const auto digest = UsableDigest(challenges[0]);
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(DigestCredentials(*digest, "Mufasa", "Circle Of Life", "GET", "/dir/index.html", 1, "0a4f113b"),
            R"(Digest username="Mufasa", realm="testrealm@host.com", nonce="dcd98b7102dd2f0e8b11d0f600bfb0c093", )"
            R"(uri="/dir/index.html", response="6629fae49393a05397450978507c4ef1", )"
            R"(opaque="5ccc069c403ebaf9f0171e9517f40e41", qop=auth, nc=00000001, cnonce="0a4f113b")");
}

}  // namespace
}  // namespace Web
