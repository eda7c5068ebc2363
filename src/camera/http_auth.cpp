#include "camera/http_auth.h"

#include <cstdio>

#include "camera/md5.h"

namespace Web {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t'; }
bool EndsToken(char c) { return IsSpace(c) || c == ',' || c == '=' || c == '"'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerText(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

// A quoted-string of the header: '"' and '\' escaped, control bytes (which would end the header
// line) left out.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) continue;
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// Whether a comma-separated list ("auth,auth-int") holds item.
bool ListHas(std::string_view list, std::string_view item) {
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string_view::npos) end = list.size();
    std::string_view entry = list.substr(start, end - start);
    while (!entry.empty() && IsSpace(entry.front())) entry.remove_prefix(1);
    while (!entry.empty() && IsSpace(entry.back())) entry.remove_suffix(1);
    if (EqualsIgnoringCase(entry, item)) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string AuthChallenge::Param(std::string_view name) const {
  for (const auto& [key, value] : params) {
    if (key == name) return value;
  }
  return {};
}

// A token followed by '=' is a parameter of the challenge before it; any other token starts a
// new challenge. Every step consumes at least one byte.
std::vector<AuthChallenge> ParseChallenges(std::string_view value) {
  std::vector<AuthChallenge> challenges;
  std::size_t i = 0;
  const std::size_t n = value.size();
  const auto skip_space = [&] {
    while (i < n && IsSpace(value[i])) ++i;
  };
  while (i < n) {
    skip_space();
    if (i >= n) break;
    const std::size_t start = i;
    while (i < n && !EndsToken(value[i])) ++i;
    if (i == start) {
      ++i;  // a stray separator
      continue;
    }
    const std::string_view token = value.substr(start, i - start);
    const std::size_t after_token = i;
    skip_space();
    if (i < n && value[i] == '=' && !challenges.empty()) {
      ++i;
      skip_space();
      std::string param;
      if (i < n && value[i] == '"') {
        for (++i; i < n && value[i] != '"'; ++i) {
          if (value[i] == '\\' && i + 1 < n) ++i;
          param += value[i];
        }
        if (i < n) ++i;  // the closing quote
      } else {
        const std::size_t param_start = i;
        while (i < n && value[i] != ',' && !IsSpace(value[i])) ++i;
        param = value.substr(param_start, i - param_start);
      }
      challenges.back().params.emplace_back(LowerText(token), std::move(param));
    } else {
      challenges.push_back({std::string(token), {}});
      i = after_token;
    }
  }
  return challenges;
}

std::optional<DigestChallenge> UsableDigest(const AuthChallenge& challenge) {
  if (!EqualsIgnoringCase(challenge.scheme, "Digest")) return std::nullopt;
  DigestChallenge digest;
  digest.nonce = challenge.Param("nonce");
  if (digest.nonce.empty()) return std::nullopt;
  digest.realm = challenge.Param("realm");
  digest.opaque = challenge.Param("opaque");
  digest.algorithm = challenge.Param("algorithm");
  if (EqualsIgnoringCase(digest.algorithm, "MD5-sess")) {
    digest.sess = true;
  } else if (!digest.algorithm.empty() && !EqualsIgnoringCase(digest.algorithm, "MD5")) {
    return std::nullopt;
  }
  const std::string qop = challenge.Param("qop");
  digest.qop_auth = ListHas(qop, "auth");
  if (!qop.empty() && !digest.qop_auth) return std::nullopt;  // auth-int only
  digest.stale = EqualsIgnoringCase(challenge.Param("stale"), "true");
  return digest;
}

std::string BasicCredentials(std::string_view user, std::string_view password) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string plain(user);
  plain += ':';
  plain += password;
  std::string out = "Basic ";
  for (std::size_t i = 0; i < plain.size(); i += 3) {
    const std::size_t left = plain.size() - i;
    std::uint32_t group = std::uint32_t{static_cast<unsigned char>(plain[i])} << 16;
    if (left > 1) group |= std::uint32_t{static_cast<unsigned char>(plain[i + 1])} << 8;
    if (left > 2) group |= static_cast<unsigned char>(plain[i + 2]);
    out += kAlphabet[(group >> 18) & 0x3F];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out += left > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  return out;
}

std::string DigestCredentials(const DigestChallenge& challenge, std::string_view user, std::string_view password,
                              std::string_view method, std::string_view uri, std::uint32_t nc,
                              std::string_view cnonce) {
  const auto join = [](std::initializer_list<std::string_view> parts) {
    std::string out;
    for (const auto part : parts) {
      if (!out.empty()) out += ':';
      out += part;
    }
    return out;
  };
  std::string ha1 = Md5Hex(join({user, challenge.realm, password}));
  if (challenge.sess) ha1 = Md5Hex(join({ha1, challenge.nonce, cnonce}));
  const std::string ha2 = Md5Hex(join({method, uri}));
  char count[9];
  std::snprintf(count, sizeof(count), "%08x", nc);
  const std::string response = challenge.qop_auth ? Md5Hex(join({ha1, challenge.nonce, count, cnonce, "auth", ha2}))
                                                  : Md5Hex(join({ha1, challenge.nonce, ha2}));

  std::string out = "Digest username=" + Quoted(user) + ", realm=" + Quoted(challenge.realm) +
                    ", nonce=" + Quoted(challenge.nonce) + ", uri=" + Quoted(uri);
  if (!challenge.algorithm.empty()) out += ", algorithm=" + std::string(challenge.sess ? "MD5-sess" : "MD5");
  out += ", response=\"" + response + "\"";
  if (!challenge.opaque.empty()) out += ", opaque=" + Quoted(challenge.opaque);
  if (challenge.qop_auth) out += ", qop=auth, nc=" + std::string(count) + ", cnonce=" + Quoted(cnonce);
  return out;
}

}  // namespace Web
