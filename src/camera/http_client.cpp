#include "camera/http_client.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>

namespace Web {
namespace {

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

// The scheme a camera's challenge leads to, by preference; 0 when none is offered.
std::uint32_t ChooseScheme(long offered) {
  const auto has = [offered](unsigned long bit) { return (static_cast<unsigned long>(offered) & bit) != 0; };
  if (has(CURLAUTH_NEGOTIATE)) return CHttpClient::kAuthNegotiate;
  if (has(CURLAUTH_NTLM)) return CHttpClient::kAuthNtlm;
  if (has(CURLAUTH_DIGEST)) return CHttpClient::kAuthDigest;
  if (has(CURLAUTH_BASIC)) return CHttpClient::kAuthBasic;
  return 0;
}

unsigned long CurlScheme(std::uint32_t scheme) {
  switch (scheme) {
    case CHttpClient::kAuthNegotiate: return CURLAUTH_NEGOTIATE;
    case CHttpClient::kAuthNtlm: return CURLAUTH_NTLM;
    case CHttpClient::kAuthDigest: return CURLAUTH_DIGEST;
    default: return CURLAUTH_BASIC;
  }
}

}  // namespace

// libcurl calls these on the owner's thread, inside curl_easy_perform, except that the socket
// record is also read by CloseRequest on another thread (under the request lock).
struct CurlCallbacks {
  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* client = static_cast<CHttpClient*>(self);
    const size_t bytes = size * count;
    if (client->Aborted()) return 0;
    // Past the cap the transfer ends; the response keeps what fits.
    if (client->incoming_.size() + bytes > CHttpClient::kMaxBodyBytes) return 0;
    client->incoming_.insert(client->incoming_.end(), data, data + bytes);
    return bytes;
  }

  static int OnProgress(void* self, curl_off_t, curl_off_t dl_now, curl_off_t, curl_off_t ul_now) {
    auto* client = static_cast<CHttpClient*>(self);
    if (client->Aborted()) return 1;
    const std::int64_t moved = dl_now + ul_now;
    const std::uint64_t now = SteadyMs();
    if (moved != client->last_progress_bytes_) {
      client->last_progress_bytes_ = moved;
      client->last_progress_ms_ = now;
      return 0;
    }
    // No byte moved for the whole time-out: the camera stalls.
    return now - client->last_progress_ms_ > client->timeout_ms_ ? 1 : 0;
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
  if (curl_ == nullptr) curl_ = curl_easy_init();
  return curl_;
}

void CHttpClient::DropConnection() {
  {
    kalmora::CSpinWaitLockGuard guard(request_lock_);
    body_.clear();
  }
  if (curl_ != nullptr) {
    curl_easy_cleanup(AsCurl(curl_));
    curl_ = nullptr;
  }
}

void CHttpClient::SetHost(const char* host) {
  if (host == nullptr || *host == '\0' || host_ == host) return;
  host_ = host;
  DropConnection();
}

void CHttpClient::SetPort(std::uint16_t port) {
  if (port == port_) return;
  port_ = port;
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
  while (true) {
    if (!PerformExchange(verb, path, headers, body)) return false;
    if (status_code_ != 401 && status_code_ != 407) return true;
    // The same challenge twice: the credentials are refused, and the caller sees the status.
    if (status_code_ == handled_status) return true;
    long offered = 0;
    const bool proxy = status_code_ == 407;
    if (curl_ == nullptr ||
        curl_easy_getinfo(AsCurl(curl_), proxy ? CURLINFO_PROXYAUTH_AVAIL : CURLINFO_HTTPAUTH_AVAIL, &offered) !=
            CURLE_OK) {
      return true;
    }
    const std::uint32_t chosen = ChooseScheme(offered);
    if (chosen == 0 || chosen == auth_scheme_) return true;
    auth_scheme_ = chosen;
    auth_target_ = proxy ? kTargetProxy : kTargetServer;
    handled_status = status_code_;
    if (++attempts == kMaxAuthAttempts) return true;
  }
}

bool CHttpClient::PerformExchange(const std::string& verb, const std::string& path,
                                  const std::vector<std::string>& headers, const std::string& body) {
  status_code_ = 0;
  content_length_ = 0;
  if (verb.empty() || path.empty() || host_.empty()) return false;
  CURL* curl = AsCurl(Handle());
  if (curl == nullptr) return false;

  // Every option an exchange depends on is set anew here. The handle is not reset: it keeps its
  // connection and the last Digest challenge, so a Digest client answers in one exchange.
  std::string url = "http://" + host_ + ":" + std::to_string(port_);
  url += path.front() == '/' ? path : "/" + path;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agent_.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_ms_));
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);  // drops a body left from an earlier POST
  curl_easy_setopt(curl, CURLOPT_NOBODY, verb == "HEAD" ? 1L : 0L);
  if (!body.empty() || verb == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  }
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb.c_str());
  curl_easy_setopt(curl, CURLOPT_USERNAME, nullptr);
  curl_easy_setopt(curl, CURLOPT_PASSWORD, nullptr);
  curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, nullptr);
  curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, nullptr);
  if (!user_.empty()) {
    const unsigned long scheme = CurlScheme(auth_scheme_);
    curl_easy_setopt(curl, auth_target_ == kTargetProxy ? CURLOPT_PROXYAUTH : CURLOPT_HTTPAUTH, scheme);
    curl_easy_setopt(curl, auth_target_ == kTargetProxy ? CURLOPT_PROXYUSERNAME : CURLOPT_USERNAME, user_.c_str());
    curl_easy_setopt(curl, auth_target_ == kTargetProxy ? CURLOPT_PROXYPASSWORD : CURLOPT_PASSWORD,
                     password_.c_str());
  }
  curl_slist* header_list = nullptr;
  // No "Expect: 100-continue" round trip for the small parameter forms.
  header_list = curl_slist_append(header_list, "Expect:");
  for (const auto& line : headers) header_list = curl_slist_append(header_list, line.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, header_list);

  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CurlCallbacks::OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CurlCallbacks::OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &CurlCallbacks::OnOpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, this);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &CurlCallbacks::OnCloseSocket);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, this);

  incoming_.clear();
  last_progress_bytes_ = -1;
  last_progress_ms_ = SteadyMs();
  abort_.store(false);
  in_exchange_.store(true);
  const CURLcode result = curl_easy_perform(curl);
  in_exchange_.store(false);
  curl_slist_free_all(header_list);

  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_off_t length = -1;
  curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  // A response whose headers arrived counts as received even when its body was cut short (by a
  // stall, CloseRequest, the camera closing the connection, or the size cap): the caller gets
  // the bytes that came.
  const bool received = status > 0;
  if (result != CURLE_OK && !received) return false;

  status_code_ = static_cast<std::uint32_t>(status);
  content_length_ = length > 0 && length <= UINT32_MAX ? static_cast<std::uint32_t>(length) : 0;
  kalmora::CSpinWaitLockGuard guard(request_lock_);
  body_.swap(incoming_);
  incoming_.clear();
  return true;
}

std::size_t CHttpClient::ReadResponseBody(std::vector<std::uint8_t>& body, std::size_t max_chunk) {
  body.clear();
  if (max_chunk == 0) return 0;
  kalmora::CSpinWaitLockGuard guard(request_lock_);
  const std::size_t total = std::min(body_.size(), kMaxBodyBytes);
  body.reserve(total);
  for (std::size_t offset = 0; offset < total; offset += max_chunk) {
    const std::size_t piece = std::min(max_chunk, total - offset);
    body.insert(body.end(), body_.begin() + static_cast<std::ptrdiff_t>(offset),
                body_.begin() + static_cast<std::ptrdiff_t>(offset + piece));
  }
  body_.clear();
  return total;
}

void CHttpClient::Cancel() {
  cancelled_.store(true);
  CloseRequest();
}

void CHttpClient::CloseRequest() {
  abort_.store(true);
  kalmora::CSpinWaitLockGuard guard(request_lock_);
  // Cutting the socket wakes a transfer blocked on it at once; the abort flag stops it at its
  // next callback otherwise. An idle kept-alive connection is left alone.
  if (in_exchange_.load() && socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
  body_.clear();
}


}  // namespace Web
