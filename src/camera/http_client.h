#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera/http_auth.h"
#include "thread/spin_wait_lock.h"

namespace Web {

// The client through which channels, encoder configuration, PTZ and digital I/O talk to one
// camera endpoint. It keeps its connection between requests and sends one request at a time on
// its owner's thread.
//
// Every exchange is one request on the wire. Basic and Digest credentials are built here (the
// Digest answer from the latest challenge the camera sent, with qop=auth, a fresh cnonce and a
// counting nc), so a refused password costs one request per call, never a hidden second one;
// Negotiate and NTLM, which take several legs by nature, are left to libcurl. When the camera
// answers 401 or 407 the client moves to the scheme it prefers among those offered.
//
// The path is sent as given except that bytes which cannot stand in a request target (space,
// control and non-ASCII bytes, " # < > \ ^ ` { | }) are percent-escaped; '%' passes unchanged.
// Headers sent: Host, User-Agent, the credentials, Content-Length with a body, and the caller's
// header lines; no Accept, no Expect, no Content-Type unless the caller gives one.
//
// Bounds: the response's header section must be complete within the time-out counted from the
// start of the exchange, else the exchange fails; the whole exchange, body included, ends at twice
// the time-out; no byte moving for the time-out ends it too; and the body is cut at the body cap.
// A body cut short by any of these still counts as received, with the bytes that came.
//
// Threads: every operation but CloseRequest and Cancel belongs to the owner's thread; those two
// may run on any thread to abort the exchange in progress. Setters are called before use.
class CHttpClient {
 public:
  // Schemes in the order the client prefers them when a camera offers several.
  enum AuthScheme : std::uint32_t {
    kAuthBasic = 1u << 0,
    kAuthDigest = 1u << 1,
    kAuthNegotiate = 1u << 2,
    kAuthNtlm = 1u << 3,
  };
  enum AuthTarget : std::uint32_t { kTargetServer = 0, kTargetProxy = 1 };

  // Body caps: parameter replies (the default) and JPEG pictures.
  static constexpr std::size_t kMaxParameterReplyBytes = 1u << 20;
  static constexpr std::size_t kMaxPictureBytes = 16u << 20;
  static constexpr int kMaxAuthAttempts = 5;

  // agent is the User-Agent of every request; timeout_ms bounds each exchange as described above.
  CHttpClient(std::string agent, std::uint32_t timeout_ms);
  virtual ~CHttpClient();
  CHttpClient(const CHttpClient&) = delete;
  CHttpClient& operator=(const CHttpClient&) = delete;

  // Null or empty is ignored; a different host drops the connection.
  void SetHost(const char* host);
  // A different port drops the connection.
  void SetPort(std::uint16_t port);
  // Null stores an empty text. Credentials go with each request, only when the user is not empty.
  void SetUser(const char* user);
  void SetPassword(const char* password);
  // The most body bytes a response may bring; past it the transfer ends and the response keeps
  // that many. kMaxParameterReplyBytes until set.
  void SetMaxBodyBytes(std::size_t max_bytes) { max_body_bytes_ = max_bytes; }
  // Basic credentials with every request, also with an empty user, and no move to another scheme
  // when the camera answers 401: for a camera that is asked before it is configured.
  void SetAlwaysBasic() {
    negotiate_auth_ = false;
    always_basic_ = true;
  }
  // A bound on each later exchange as a whole, connecting included, for a request that must not
  // hold its caller up for long; 0 brings back the usual bounds. A limit above twice the
  // time-out changes nothing.
  void SetExchangeLimit(std::uint32_t limit_ms) { exchange_limit_ms_ = limit_ms; }

  // One request without headers or body. True when a response (status line and headers) was
  // received, whatever its status; false when connecting, sending or receiving the headers
  // failed or took longer than the time-out, or the verb or path is empty (then nothing is sent).
  bool SendRequest(const std::string& verb, const std::string& path);
  // The same with header lines ("Name: value", each replacing a header of that name) and a body.
  bool SendRequest(const std::string& verb, const std::string& path, const std::vector<std::string>& header_lines,
                   const std::string& body);

  // Of the last response; both 0 until one is received, and reset at every exchange.
  std::uint32_t GetStatusCode() const { return status_code_; }
  // Whether the last response's body arrived whole: false when the exchange was cut short after
  // its headers (time-out, abort, the body cap, the camera closing early).
  bool body_complete() const { return body_complete_; }
  std::uint32_t GetContentLength() const { return content_length_; }

  // Moves the body of the last response into body (emptied first); returns its length. 0 when
  // max_chunk is 0, there is no response or it had no body. The body can be read once.
  std::size_t ReadResponseBody(std::vector<std::uint8_t>& body, std::size_t max_chunk);

  // Aborts the exchange in progress, if any (that exchange keeps the response bytes it already
  // received), or drops the last response.
  void CloseRequest();
  // Any thread: aborts the exchange in progress and makes every later request of this client
  // fail at once, so a request about to start cannot slip past an abort.
  void Cancel();
  // Owner's thread, between exchanges: lifts a Cancel, so requests go out again. Cancel and this
  // are atomic to each other: a Cancel that has begun is either lifted whole or comes after and
  // holds. An owner that wants a later request to go out makes sure no Cancel is still on its
  // way (see CMJPEGChannelHTTP).
  void ResetCancel();

  const std::string& host() const { return host_; }
  std::uint16_t port() const { return port_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  std::uint32_t auth_scheme() const { return auth_scheme_; }
  std::uint32_t auth_target() const { return auth_target_; }

 private:
  friend struct CurlCallbacks;

  // The latest Digest challenge of the camera, for the target it came from.
  struct DigestState {
    DigestChallenge challenge;
    std::uint32_t target = kTargetServer;
    std::uint32_t nc = 0;  // requests answered with this nonce
  };

  bool SendWithScheme(const std::string& verb, const std::string& path, const std::vector<std::string>& headers,
                      const std::string& body);
  bool SendAuthenticated(const std::string& verb, const std::string& path, const std::vector<std::string>& headers,
                         const std::string& body);
  bool PerformExchange(const std::string& verb, const std::string& path, const std::vector<std::string>& headers,
                       const std::string& body);
  void Transfer(void* easy, void* multi);
  // The credentials header line for the next request; empty when none is to be sent.
  std::string CredentialsLine(const std::string& verb, const std::string& target);
  // After a 401/407: the schemes its challenges offer, and the Digest challenge kept.
  std::uint32_t TakeChallenges(bool proxy);
  void DropConnection();
  bool Aborted() const { return abort_.load() || cancelled_.load(); }
  void* Handle();

  const std::string agent_;
  const std::uint32_t timeout_ms_;

  kalmora::CSpinWaitLock request_lock_;
  // Guarded by request_lock_: the socket of the exchange in progress (-1 when none), so another
  // thread can cut it, and the body of the last response.
  int socket_ = -1;
  std::vector<std::uint8_t> body_;
  std::atomic<bool> abort_{false};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> in_exchange_{false};

  void* curl_ = nullptr;   // the easy handle
  void* multi_ = nullptr;  // drives it; owns the connection between exchanges
  int scheme_state_ = 0;  // 0 undetermined, 1 plain HTTP
  std::uint32_t auth_scheme_ = kAuthBasic;
  std::uint32_t auth_target_ = kTargetServer;
  bool negotiate_auth_ = true;
  bool always_basic_ = false;
  bool body_complete_ = false;
  bool transfer_done_ = false;  // the last transfer ended by itself without an error
  std::string user_;
  std::string password_;
  std::string host_;
  std::uint16_t port_ = 80;
  std::uint32_t status_code_ = 0;
  std::uint32_t content_length_ = 0;
  std::size_t max_body_bytes_ = kMaxParameterReplyBytes;
  std::uint32_t exchange_limit_ms_ = 0;  // 0: the usual bounds
  std::optional<DigestState> digest_;
  bool sent_digest_answer_ = false;  // the last exchange answered a known Digest challenge

  // State of the exchange in progress, touched by the transfer callbacks on the owner's thread.
  std::vector<std::uint8_t> incoming_;
  bool headers_done_ = false;  // the header section of a final (non-1xx) response has ended
  bool response_final_ = false;  // the response being received is not an interim (1xx) one
  std::size_t header_bytes_ = 0;
  std::vector<std::string> server_challenges_;  // WWW-Authenticate values of the latest response
  std::vector<std::string> proxy_challenges_;   // Proxy-Authenticate values
};

}  // namespace Web
