#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace camsim_test {

struct HttpResponse {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string headers;  // every header line received, for all exchanges of the transfer
  std::string body;
  double seconds = 0;  // whole transfer
  bool has_header(const std::string& line_start) const;
};

// A libcurl easy handle that keeps its connection between requests, as the driver's client
// does. One thread uses it.
class HttpTestClient {
 public:
  HttpTestClient();
  ~HttpTestClient();
  HttpTestClient(const HttpTestClient&) = delete;
  HttpTestClient& operator=(const HttpTestClient&) = delete;

  // auth: CURLAUTH_NONE, CURLAUTH_BASIC or CURLAUTH_DIGEST.
  void SetAuth(unsigned long auth, const std::string& user, const std::string& password);
  // Total time allowed for one transfer; generous by default.
  void SetTimeout(std::chrono::milliseconds timeout);

  HttpResponse Get(const std::string& url);
  HttpResponse Post(const std::string& url, const std::string& body);

 private:
  HttpResponse Perform(const std::string& url);

  CURL* easy_ = nullptr;
};

// Sends request bytes on a new TCP connection and returns its socket, left open for the caller
// to read and close; -1 when it could not connect or send.
int ConnectAndSend(const std::string& address, std::uint16_t port, const std::string& request);

// Sends request bytes on a new TCP connection and returns everything received until the peer
// closes or timeout passes. For requests libcurl would rewrite (a target without '/').
std::string RawExchange(const std::string& address, std::uint16_t port, const std::string& request,
                        std::chrono::milliseconds timeout);

}  // namespace camsim_test
