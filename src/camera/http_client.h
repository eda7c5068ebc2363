#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "thread/spin_wait_lock.h"

namespace Web {

// The client through which channels, encoder configuration, PTZ and digital I/O talk to one
// camera endpoint. It keeps its connection between requests, sends one request at a time on its
// owner's thread, and negotiates authentication itself when the camera answers 401 or 407.
//
// Threads: every operation but CloseRequest belongs to the owner's thread; CloseRequest may run
// on any thread to abort the exchange in progress. Setters are called before use.
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

  static constexpr std::size_t kMaxBodyBytes = 256u << 20;
  static constexpr int kMaxAuthAttempts = 5;

  // agent is the User-Agent of every request; timeout_ms bounds connecting and any stall of the
  // transfer (no byte moved for that long ends the exchange).
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

  // One request without headers or body. True when a response (status line and headers) was
  // received, whatever its status; false when connecting, sending or receiving failed, or the
  // verb or path is empty (then nothing is sent).
  bool SendRequest(const std::string& verb, const std::string& path);
  // The same with header lines ("Name: value", each replacing a header of that name) and a body.
  bool SendRequest(const std::string& verb, const std::string& path, const std::vector<std::string>& header_lines,
                   const std::string& body);

  // Of the last response; both 0 until one is received, and reset at every exchange.
  std::uint32_t GetStatusCode() const { return status_code_; }
  std::uint32_t GetContentLength() const { return content_length_; }

  // Moves the body of the last response into body (emptied first), taken in pieces of at most
  // max_chunk bytes; returns its length. 0 when there is no response or it had no body. The body
  // can be read once.
  std::size_t ReadResponseBody(std::vector<std::uint8_t>& body, std::size_t max_chunk);

  // Aborts the exchange in progress, if any (that exchange keeps the response bytes it already
  // received), or drops the last response.
  void CloseRequest();
  // Any thread: aborts the exchange in progress and makes every later request of this client
  // fail at once, so a request about to start cannot slip past an abort.
  void Cancel();

  const std::string& host() const { return host_; }
  std::uint16_t port() const { return port_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  std::uint32_t auth_scheme() const { return auth_scheme_; }
  std::uint32_t auth_target() const { return auth_target_; }

 private:
  friend struct CurlCallbacks;

  bool SendWithScheme(const std::string& verb, const std::string& path, const std::vector<std::string>& headers,
                      const std::string& body);
  bool SendAuthenticated(const std::string& verb, const std::string& path, const std::vector<std::string>& headers,
                         const std::string& body);
  bool PerformExchange(const std::string& verb, const std::string& path, const std::vector<std::string>& headers,
                       const std::string& body);
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

  void* curl_ = nullptr;  // the easy handle; owns the connection
  int scheme_state_ = 0;  // 0 undetermined, 1 plain HTTP
  std::uint32_t auth_scheme_ = kAuthBasic;
  std::uint32_t auth_target_ = kTargetServer;
  bool negotiate_auth_ = true;
  std::string user_;
  std::string password_;
  std::string host_;
  std::uint16_t port_ = 80;
  std::uint32_t status_code_ = 0;
  std::uint32_t content_length_ = 0;

  // State of the exchange in progress, touched by the transfer callbacks on the owner's thread.
  std::vector<std::uint8_t> incoming_;
  std::int64_t last_progress_bytes_ = -1;
  std::uint64_t last_progress_ms_ = 0;
};

}  // namespace Web
