#include "camera/http_client.h"

#include <curl/curl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>

namespace Web {
namespace {

// A header section longer than this is not a camera's: the exchange fails.
constexpr std::size_t kMaxHeaderBytes = 64u << 10;
// The longest the exchange loop sleeps between its checks of the deadlines and the abort flag.
constexpr std::uint64_t kPollSliceMs = 100;

std::uint64_t SteadyMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

void GlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CURL* AsCurl(void* handle) { return static_cast<CURL*>(handle); }
CURLM* AsMulti(void* handle) { return static_cast<CURLM*>(handle); }

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

// Appends a copy of line; false (the list unchanged) when out of memory.
bool Append(HeaderList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return false;
  static_cast<void>(list.release());
  list.reset(grown);
  return true;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

// Percent-escapes the bytes that cannot stand in a request target; '%' and every other printable
// byte pass unchanged, so a caller's own escapes survive.
std::string EscapeTarget(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr std::string_view kUnsafe = "\"#<>\\^`{|}";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || kUnsafe.find(c) != std::string_view::npos) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

// 16 hex digits from the kernel's random source; the clock when that fails.
std::string NewCnonce() {
  std::uint64_t value = 0;
  if (getrandom(&value, sizeof(value), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(value))) {
    static std::atomic<std::uint64_t> counter{0};
    value = (SteadyMs() << 20) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0x0F];
  return out;
}

// The scheme a camera's challenge leads to, by preference; 0 when none is offered.
std::uint32_t ChooseScheme(std::uint32_t offered) {
  for (const std::uint32_t scheme : {CHttpClient::kAuthNegotiate, CHttpClient::kAuthNtlm, CHttpClient::kAuthDigest,
                                     CHttpClient::kAuthBasic}) {
    if ((offered & scheme) != 0) return scheme;
  }
  return 0;
}

}  // namespace

// libcurl calls these on the owner's thread, inside curl_multi_perform, except that the socket
// record is also read by CloseRequest on another thread (under the request lock). None lets an
// exception out: one ends the transfer instead.
struct CurlCallbacks {
  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* client = static_cast<CHttpClient*>(self);
    const size_t bytes = size * count;
    try {
      if (client->Aborted()) return 0;
      client->header_bytes_ += bytes;
      if (client->header_bytes_ > kMaxHeaderBytes) return 0;
      const std::string_view line(data, bytes);
      if (line.rfind("HTTP/", 0) == 0) {
        // A new response: an interim one, or the next leg of a multi-leg authentication.
        client->headers_done_ = false;
        client->server_challenges_.clear();
        client->proxy_challenges_.clear();
        const std::size_t space = line.find(' ');
        client->response_final_ = space != std::string_view::npos && space + 1 < line.size() && line[space + 1] >= '2';
      } else if (Trimmed(line).empty()) {
        client->headers_done_ = client->response_final_;
      } else if (StartsWithIgnoringCase(line, "WWW-Authenticate:")) {
        client->server_challenges_.emplace_back(Trimmed(line.substr(17)));
      } else if (StartsWithIgnoringCase(line, "Proxy-Authenticate:")) {
        client->proxy_challenges_.emplace_back(Trimmed(line.substr(19)));
      }
      return bytes;
    } catch (...) {
      return 0;
    }
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* client = static_cast<CHttpClient*>(self);
    const size_t bytes = size * count;
    try {
      if (client->Aborted()) return 0;
      // Past the cap the transfer ends; the response keeps what fits, and the buffer never
      // grows beyond the cap.
      auto& incoming = client->incoming_;
      const size_t cap = client->max_body_bytes_;
      const size_t take = std::min(bytes, cap - std::min(cap, incoming.size()));
      if (incoming.size() + take > incoming.capacity()) {
        incoming.reserve(std::min(std::max(incoming.size() + take, incoming.capacity() * 2), cap));
      }
      incoming.insert(incoming.end(), data, data + take);
      return take == bytes ? bytes : 0;
    } catch (...) {
      return 0;
    }
  }

  static curl_socket_t OnOpenSocket(void* self, curlsocktype, curl_sockaddr* address) {
    auto* client = static_cast<CHttpClient*>(self);
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0) return CURL_SOCKET_BAD;
    kalmora::CSpinWaitLockGuard guard(client->request_lock_);
    client->socket_ = fd;
    return fd;
  }

  static int OnCloseSocket(void* self, curl_socket_t socket) {
    auto* client = static_cast<CHttpClient*>(self);
    {
      kalmora::CSpinWaitLockGuard guard(client->request_lock_);
      if (client->socket_ == socket) client->socket_ = -1;
    }
    return ::close(socket);
  }
};

CHttpClient::CHttpClient(std::string agent, std::uint32_t timeout_ms)
    : agent_(std::move(agent)), timeout_ms_(timeout_ms) {
  GlobalInitOnce();
}

CHttpClient::~CHttpClient() { DropConnection(); }

void* CHttpClient::Handle() {
  if (multi_ == nullptr) multi_ = curl_multi_init();
  if (curl_ == nullptr) curl_ = curl_easy_init();
  return multi_ != nullptr ? curl_ : nullptr;
}

void CHttpClient::DropConnection() {
  {
    kalmora::CSpinWaitLockGuard guard(request_lock_);
    std::vector<std::uint8_t>().swap(body_);
  }
  // The multi handle holds the idle connection; the easy handle is never attached between
  // exchanges.
  if (multi_ != nullptr) {
    curl_multi_cleanup(AsMulti(multi_));
    multi_ = nullptr;
  }
  if (curl_ != nullptr) {
    curl_easy_cleanup(AsCurl(curl_));
    curl_ = nullptr;
  }
}

void CHttpClient::SetHost(const char* host) {
  if (host == nullptr || *host == '\0' || host_ == host) return;
  host_ = host;
  digest_.reset();  // another camera's challenge answers nothing here
  DropConnection();
}

void CHttpClient::SetPort(std::uint16_t port) {
  if (port == port_) return;
  port_ = port;
  digest_.reset();
  DropConnection();
}

void CHttpClient::SetUser(const char* user) { user_ = user != nullptr ? user : ""; }

void CHttpClient::SetPassword(const char* password) { password_ = password != nullptr ? password : ""; }

bool CHttpClient::SendRequest(const std::string& verb, const std::string& path) {
  return SendRequest(verb, path, {}, {});
}

bool CHttpClient::SendRequest(const std::string& verb, const std::string& path,
                              const std::vector<std::string>& header_lines, const std::string& body) {
  if (cancelled_.load()) return false;
  try {
    return SendWithScheme(verb, path, header_lines, body);
  } catch (...) {
    return false;
  }
}

// The client speaks plain HTTP from its first successful exchange on; until then every request
// starts undetermined again.
bool CHttpClient::SendWithScheme(const std::string& verb, const std::string& path,
                                 const std::vector<std::string>& headers, const std::string& body) {
  if (scheme_state_ != 0) return SendAuthenticated(verb, path, headers, body);
  scheme_state_ = 1;
  const bool sent = SendAuthenticated(verb, path, headers, body);
  if (!sent) scheme_state_ = 0;
  return sent;
}

bool CHttpClient::SendAuthenticated(const std::string& verb, const std::string& path,
                                    const std::vector<std::string>& headers, const std::string& body) {
  if (!negotiate_auth_) return PerformExchange(verb, path, headers, body);
  int attempts = 0;
  std::uint32_t handled_status = 0;
  bool answered_fresh_challenge = false;
  while (true) {
    if (!PerformExchange(verb, path, headers, body)) return false;
    if (status_code_ != 401 && status_code_ != 407) return true;
    const bool proxy = status_code_ == 407;
    const bool answered = sent_digest_answer_;
    const std::uint32_t offered = TakeChallenges(proxy);
    // Digest credentials need a current challenge: with none known yet (a new camera), or the
    // nonce gone stale, the request is repeated once, answering the challenge just received.
    // Refused credentials never come here, so they cost no second request.
    if (!answered_fresh_challenge && !user_.empty() && auth_scheme_ == kAuthDigest && (offered & kAuthDigest) != 0 &&
        auth_target_ == (proxy ? kTargetProxy : kTargetServer) && (!answered || digest_->challenge.stale)) {
      answered_fresh_challenge = true;
      continue;
    }
    // The same challenge twice: the credentials are refused, and the caller sees the status.
    if (status_code_ == handled_status) return true;
    const std::uint32_t chosen = ChooseScheme(offered);
    if (chosen == 0 || chosen == auth_scheme_) return true;
    auth_scheme_ = chosen;
    auth_target_ = proxy ? kTargetProxy : kTargetServer;
    handled_status = status_code_;
    if (++attempts == kMaxAuthAttempts) return true;
  }
}

std::uint32_t CHttpClient::TakeChallenges(bool proxy) {
  std::uint32_t offered = 0;
  std::optional<DigestChallenge> digest;
  for (const auto& value : proxy ? proxy_challenges_ : server_challenges_) {
    for (const auto& challenge : ParseChallenges(value)) {
      if (EqualsIgnoringCase(challenge.scheme, "Negotiate")) {
        offered |= kAuthNegotiate;
      } else if (EqualsIgnoringCase(challenge.scheme, "NTLM")) {
        offered |= kAuthNtlm;
      } else if (EqualsIgnoringCase(challenge.scheme, "Basic")) {
        offered |= kAuthBasic;
      } else if (auto usable = UsableDigest(challenge)) {
        offered |= kAuthDigest;
        if (!digest) digest = std::move(usable);
      }
    }
  }
  if (digest) {
    const std::uint32_t target = proxy ? kTargetProxy : kTargetServer;
    // The same nonce again keeps counting requests from where they were.
    const bool same_nonce = digest_ && digest_->target == target && digest_->challenge.nonce == digest->nonce;
    const std::uint32_t nc = same_nonce ? digest_->nc : 0;
    digest_ = DigestState{std::move(*digest), target, nc};
  }
  return offered;
}

std::string CHttpClient::CredentialsLine(const std::string& verb, const std::string& target) {
  const std::string name = auth_target_ == kTargetProxy ? "Proxy-Authorization: " : "Authorization: ";
  if (auth_scheme_ == kAuthBasic) return name + BasicCredentials(user_, password_);
  if (auth_scheme_ != kAuthDigest || !digest_ || digest_->target != auth_target_) return {};
  ++digest_->nc;
  sent_digest_answer_ = true;
  return name + DigestCredentials(digest_->challenge, user_, password_, verb, target, digest_->nc, NewCnonce());
}

bool CHttpClient::PerformExchange(const std::string& verb, const std::string& path,
                                  const std::vector<std::string>& headers, const std::string& body) {
  status_code_ = 0;
  content_length_ = 0;
  body_complete_ = false;
  sent_digest_answer_ = false;
  if (verb.empty() || path.empty() || host_.empty()) return false;
  CURL* curl = AsCurl(Handle());
  if (curl == nullptr) return false;
  CURLM* multi = AsMulti(multi_);

  // Every option an exchange depends on is set anew here; the connection stays with the multi
  // handle.
  const std::string target = EscapeTarget(path.front() == '/' ? path : "/" + path);
  const std::string url = "http://" + host_ + ":" + std::to_string(port_) + target;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);  // "/a/../b" goes out as given
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agent_.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  const std::uint32_t connect_ms =
      exchange_limit_ms_ != 0 ? std::min(timeout_ms_, exchange_limit_ms_) : timeout_ms_;
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect_ms));
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);  // drops a body left from an earlier POST
  curl_easy_setopt(curl, CURLOPT_NOBODY, verb == "HEAD" ? 1L : 0L);
  const bool with_body = !body.empty() || verb == "POST";
  if (with_body) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  }
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb.c_str());

  // Basic and Digest go as a header of ours, so libcurl never repeats a request to answer a
  // challenge; Negotiate and NTLM are libcurl's.
  curl_easy_setopt(curl, CURLOPT_USERNAME, nullptr);
  curl_easy_setopt(curl, CURLOPT_PASSWORD, nullptr);
  curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, nullptr);
  curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, nullptr);
  curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
  curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_BASIC);
  std::string credentials;
  if (!user_.empty() || always_basic_) {
    if (auth_scheme_ == kAuthNegotiate || auth_scheme_ == kAuthNtlm) {
      const bool proxy = auth_target_ == kTargetProxy;
      curl_easy_setopt(curl, proxy ? CURLOPT_PROXYAUTH : CURLOPT_HTTPAUTH,
                       auth_scheme_ == kAuthNegotiate ? CURLAUTH_NEGOTIATE : CURLAUTH_NTLM);
      curl_easy_setopt(curl, proxy ? CURLOPT_PROXYUSERNAME : CURLOPT_USERNAME, user_.c_str());
      curl_easy_setopt(curl, proxy ? CURLOPT_PROXYPASSWORD : CURLOPT_PASSWORD, password_.c_str());
    } else {
      credentials = CredentialsLine(verb, target);
    }
  }

  // No Expect round trip, no Accept, and no form Content-Type the caller did not ask for.
  HeaderList header_list;
  bool listed = Append(header_list, "Expect:") && Append(header_list, "Accept:");
  const bool typed = std::any_of(headers.begin(), headers.end(), [](const std::string& line) {
    return StartsWithIgnoringCase(line, "Content-Type:");
  });
  if (with_body && !typed) listed = listed && Append(header_list, "Content-Type:");
  for (const auto& line : headers) listed = listed && Append(header_list, line);
  if (!credentials.empty()) listed = listed && Append(header_list, credentials);
  if (!listed) return false;
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, header_list.get());

  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CurlCallbacks::OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CurlCallbacks::OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &CurlCallbacks::OnOpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, this);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &CurlCallbacks::OnCloseSocket);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, this);

  std::vector<std::uint8_t>().swap(incoming_);
  {
    kalmora::CSpinWaitLockGuard guard(request_lock_);
    std::vector<std::uint8_t>().swap(body_);
  }
  headers_done_ = false;
  response_final_ = false;
  header_bytes_ = 0;
  server_challenges_.clear();
  proxy_challenges_.clear();
  abort_.store(false);
  in_exchange_.store(true);
  Transfer(curl, multi);
  in_exchange_.store(false);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);

  // A response whose header section arrived counts as received even when its body was cut short
  // (by the deadline, a stall, CloseRequest, the camera closing the connection, or the body
  // cap): the caller gets the bytes that came.
  if (!headers_done_) {
    std::vector<std::uint8_t>().swap(incoming_);
    return false;
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_off_t length = -1;
  curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  status_code_ = status > 0 && status <= 999 ? static_cast<std::uint32_t>(status) : 0;
  content_length_ = length > 0 && length <= UINT32_MAX ? static_cast<std::uint32_t>(length) : 0;
  body_complete_ = transfer_done_;
  kalmora::CSpinWaitLockGuard guard(request_lock_);
  body_.swap(incoming_);
  std::vector<std::uint8_t>().swap(incoming_);
  return true;
}

// Runs the transfer to its end, or until the header section is late (the time-out from the
// start), the exchange is over time (twice the time-out, or the exchange limit when it is
// shorter), no byte moved for the time-out, or an abort.
void CHttpClient::Transfer(void* easy, void* multi_handle) {
  CURL* curl = AsCurl(easy);
  CURLM* multi = AsMulti(multi_handle);
  transfer_done_ = false;
  if (curl_multi_add_handle(multi, curl) != CURLM_OK) return;
  const std::uint64_t start = SteadyMs();
  std::uint64_t length = 2ull * timeout_ms_;
  if (exchange_limit_ms_ != 0) length = std::min<std::uint64_t>(length, exchange_limit_ms_);
  const std::uint64_t end = start + length;
  const std::uint64_t header_deadline = std::min(start + timeout_ms_, end);
  std::uint64_t last_move_ms = start;
  curl_off_t last_moved = 0;
  while (true) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    int queued = 0;
    bool done = false;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      done = true;
      transfer_done_ = message->data.result == CURLE_OK && !Aborted();
    }
    if (done || running == 0 || Aborted()) break;

    const std::uint64_t now = SteadyMs();
    if (now >= end || (!headers_done_ && now >= header_deadline)) break;
    curl_off_t down = 0;
    curl_off_t up = 0;
    curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &down);
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &up);
    const curl_off_t moved = down + up + static_cast<curl_off_t>(header_bytes_);
    if (moved != last_moved) {
      last_moved = moved;
      last_move_ms = now;
    } else if (now - last_move_ms >= timeout_ms_) {
      break;  // the camera stalls
    }
    std::uint64_t next = std::min(headers_done_ ? end : header_deadline, last_move_ms + timeout_ms_);
    const std::uint64_t wait = std::clamp<std::uint64_t>(next > now ? next - now : 1, 1, kPollSliceMs);
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait), nullptr);
  }
  // Removing an unfinished transfer closes its connection; a finished one stays for reuse.
  curl_multi_remove_handle(multi, curl);
}

std::size_t CHttpClient::ReadResponseBody(std::vector<std::uint8_t>& body, std::size_t max_chunk) {
  body.clear();
  if (max_chunk == 0) return 0;
  kalmora::CSpinWaitLockGuard guard(request_lock_);
  body.swap(body_);
  std::vector<std::uint8_t>().swap(body_);
  return body.size();
}

void CHttpClient::Cancel() {
  // Under the request lock, so ResetCancel sees a Cancel either before it began or after it
  // ended, never halfway (the flag lifted, the abort still to come).
  kalmora::CSpinWaitLockGuard guard(request_lock_);
  cancelled_.store(true);
  CloseRequest();
}

void CHttpClient::ResetCancel() {
  kalmora::CSpinWaitLockGuard guard(request_lock_);
  cancelled_.store(false);
  abort_.store(false);
}

void CHttpClient::CloseRequest() {
  kalmora::CSpinWaitLockGuard guard(request_lock_);
  abort_.store(true);
  // Cutting the socket wakes a transfer waiting on it at once; the exchange loop sees the abort
  // flag within a poll slice otherwise. An idle kept-alive connection is left alone.
  if (in_exchange_.load() && socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
  std::vector<std::uint8_t>().swap(body_);
}

}  // namespace Web
