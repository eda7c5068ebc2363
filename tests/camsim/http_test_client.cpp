#include "http_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace camsim_test {
namespace {

std::size_t Append(char* data, std::size_t size, std::size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

}  // namespace

bool HttpResponse::has_header(const std::string& line_start) const {
  std::size_t position = 0;
  while (position < headers.size()) {
    const std::size_t end = headers.find('\n', position);
    const std::string line = headers.substr(position, end - position);
    if (line.size() >= line_start.size()) {
      bool equal = true;
      for (std::size_t i = 0; i < line_start.size() && equal; ++i) {
        equal = std::tolower(static_cast<unsigned char>(line[i])) ==
                std::tolower(static_cast<unsigned char>(line_start[i]));
      }
      if (equal) return true;
    }
    if (end == std::string::npos) break;
    position = end + 1;
  }
  return false;
}

HttpTestClient::HttpTestClient() : easy_(curl_easy_init()) {
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_TIMEOUT_MS, 20000L);
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
}

HttpTestClient::~HttpTestClient() { curl_easy_cleanup(easy_); }

void HttpTestClient::SetAuth(unsigned long auth, const std::string& user,
                             const std::string& password) {
  curl_easy_setopt(easy_, CURLOPT_HTTPAUTH, auth);
  curl_easy_setopt(easy_, CURLOPT_USERNAME, user.c_str());
  curl_easy_setopt(easy_, CURLOPT_PASSWORD, password.c_str());
}

void HttpTestClient::SetTimeout(std::chrono::milliseconds timeout) {
  curl_easy_setopt(easy_, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
}

HttpResponse HttpTestClient::Get(const std::string& url) {
  curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
  return Perform(url);
}

HttpResponse HttpTestClient::Post(const std::string& url, const std::string& body) {
  curl_easy_setopt(easy_, CURLOPT_POST, 1L);
  curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(easy_, CURLOPT_COPYPOSTFIELDS, body.c_str());
  return Perform(url);
}

HttpResponse HttpTestClient::Perform(const std::string& url) {
  HttpResponse response;
  curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &Append);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, &response.headers);
  response.code = curl_easy_perform(easy_);
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_getinfo(easy_, CURLINFO_TOTAL_TIME, &response.seconds);
  return response;
}

int ConnectAndSend(const std::string& address, std::uint16_t port, const std::string& request) {
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) return -1;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0 ||
      ::send(socket, request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
    ::close(socket);
    return -1;
  }
  return socket;
}

std::string RawExchange(const std::string& address, std::uint16_t port, const std::string& request,
                        std::chrono::milliseconds timeout) {
  std::string received;
  const int socket = ConnectAndSend(address, port, request);
  if (socket < 0) return received;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd entry{socket, POLLIN, 0};
    if (::poll(&entry, 1, 20) <= 0) continue;
    char buffer[4096];
    const ssize_t count = ::recv(socket, buffer, sizeof(buffer), 0);
    if (count <= 0) break;
    received.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(socket);
  return received;
}

}  // namespace camsim_test
