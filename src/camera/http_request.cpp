#include "camera/http_request.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Web {

HttpRequest::HttpRequest() : client_("Kalmora_HttpRequest", kTimeoutMs) {
  client_.SetAlwaysBasic();
  client_.SetMaxBodyBytes(kMaxBodyBytes);
}

HttpRequest::~HttpRequest() {
  user_.clear();
  password_.clear();
}

bool HttpRequest::SetHost(const char* host) {
  host_ = host != nullptr ? host : "";
  return true;
}

bool HttpRequest::SetUser(const char* user) {
  user_ = user != nullptr ? user : "";
  return true;
}

bool HttpRequest::SetPassword(const char* password) {
  password_ = password != nullptr ? password : "";
  return true;
}

bool HttpRequest::SetPort(std::uint16_t port) {
  port_ = port;
  return true;
}

bool HttpRequest::Get(const std::string& path) {
  have_body_ = false;
  std::vector<std::uint8_t>().swap(body_);
  read_offset_ = 0;
  if (host_.empty()) return false;
  client_.SetHost(host_.c_str());
  client_.SetPort(port_);
  client_.SetUser(user_.c_str());
  client_.SetPassword(password_.c_str());
  if (!client_.SendRequest("GET", path)) return false;
  client_.ReadResponseBody(body_, kMaxBodyBytes);
  have_body_ = client_.body_complete();
  if (!have_body_) std::vector<std::uint8_t>().swap(body_);
  return true;
}

std::uint32_t HttpRequest::QueryDataAvailable() const {
  if (!have_body_) return 0;
  return static_cast<std::uint32_t>(
      std::min<std::size_t>(body_.size() - read_offset_, std::numeric_limits<std::uint32_t>::max()));
}

bool HttpRequest::ReadData(void* buffer, std::uint32_t size, std::uint32_t* read) {
  if (read != nullptr) *read = 0;
  if (buffer == nullptr || size == 0 || !have_body_) return false;
  const std::size_t count = std::min<std::size_t>(size, body_.size() - read_offset_);
  if (count != 0) std::memcpy(buffer, body_.data() + read_offset_, count);
  read_offset_ += count;
  if (read != nullptr) *read = static_cast<std::uint32_t>(count);
  return true;
}

void HttpRequest::Abort() { client_.Cancel(); }

}  // namespace Web
