#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Web {

// One challenge of a WWW-Authenticate or Proxy-Authenticate header value: its scheme as sent and
// its parameters (names in lower case, values unquoted).
struct AuthChallenge {
  std::string scheme;
  std::vector<std::pair<std::string, std::string>> params;

  // The value of the first parameter of that (lower-case) name; empty when absent.
  std::string Param(std::string_view name) const;
};

// The challenges of one header value ("Digest realm="a", nonce="b", Basic realm="a"" holds two).
// Any bytes give some result; malformed parts are skipped.
std::vector<AuthChallenge> ParseChallenges(std::string_view value);

bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// A Digest challenge the client can answer: MD5 or MD5-sess, with qop absent or offering "auth".
struct DigestChallenge {
  std::string realm;
  std::string nonce;
  std::string opaque;
  std::string algorithm;  // as the challenge named it, empty when it named none (then MD5)
  bool sess = false;      // MD5-sess
  bool qop_auth = false;  // answer with qop=auth, nc and cnonce
  bool stale = false;     // the previous nonce was refused as outdated, not the credentials
};
std::optional<DigestChallenge> UsableDigest(const AuthChallenge& challenge);

// The value of an Authorization (or Proxy-Authorization) header.
std::string BasicCredentials(std::string_view user, std::string_view password);
// uri is the request target exactly as sent; nc counts the requests made with this nonce (from 1);
// cnonce is the client's fresh nonce for this request.
std::string DigestCredentials(const DigestChallenge& challenge, std::string_view user, std::string_view password,
                              std::string_view method, std::string_view uri, std::uint32_t nc,
                              std::string_view cnonce);

}  // namespace Web
