// The HTTP object of the capability query: GET only, Basic credentials with every request (the
// camera is asked before anyone has told us which scheme it wants), one request's body read in
// pieces, and an abort from another thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "camera/http_client.h"

namespace Web {

// Threads: one owner thread sets up, sends and reads; Abort may be called from any thread.
// Bounds are the client's: the headers within the time-out, the whole exchange within twice it,
// and a body of at most kMaxBodyBytes. Credentials go in a header of their own, never in the
// URL, and redirects are not followed.
class HttpRequest {
 public:
  static constexpr std::uint32_t kTimeoutMs = 5000;
  static constexpr std::size_t kMaxBodyBytes = std::size_t{256} << 20;

  HttpRequest();
  virtual ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Null stores an empty text. Set before the first Get.
  bool SetHost(const char* host);
  bool SetUser(const char* user);
  bool SetPassword(const char* password);
  bool SetPort(std::uint16_t port);
  const std::string& GetHost() const { return host_; }
  std::uint16_t GetPort() const { return port_; }
  const std::string& GetUserName() const { return user_; }
  const std::string& GetPassword() const { return password_; }
  std::uint32_t GetStatusCode() const { return client_.GetStatusCode(); }

  // One GET of path ("params/get.cgi?..."); true when the response headers arrived, whatever
  // the status. The previous response's body is gone from here on.
  bool Get(const std::string& path);
  // Body bytes not read yet; 0 without a response or when its body arrived cut short.
  std::uint32_t QueryDataAvailable() const;
  // Up to size bytes of the body; false for a null buffer, a size of 0, no response or a body
  // that arrived cut short (a truncated reply is never handed over as if whole).
  bool ReadData(void* buffer, std::uint32_t size, std::uint32_t* read);
  // Any thread: cuts the request in progress; every later Get fails at once.
  void Abort();

 private:
  CHttpClient client_;
  std::string host_;
  std::uint16_t port_ = 80;
  std::string user_;
  std::string password_;
  bool have_body_ = false;  // the last Get received a whole response
  std::vector<std::uint8_t> body_;
  std::size_t read_offset_ = 0;
};

}  // namespace Web
