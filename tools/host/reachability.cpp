#include "reachability.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace tessavirn_host {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The steps share one budget; name resolution counts against the first connect.
constexpr auto kBudget = 2800ms;
constexpr auto kHttpConnectStep = 1200ms;
constexpr auto kRtspConnectStep = 700ms;
constexpr auto kRequestStep = 900ms;
constexpr auto kPollSlice = 50;  // ms between looks at the abort flag
constexpr std::size_t kBodyCap = 64 * 1024;
constexpr std::uint16_t kRtspPort = 554;
constexpr const char* kBrandPath = "/api/param.cgi?req=General.Brand";

struct Transfer {
  CURLcode code = CURLE_OPERATION_TIMEDOUT;
  long status = 0;
  long os_errno = 0;
  bool aborted = false;
};

struct EasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;

std::size_t DiscardBody(char*, std::size_t size, std::size_t count, void* user) {
  auto* total = static_cast<std::size_t*>(user);
  *total += size * count;
  // Past the cap the transfer ends; the status line has been read by then.
  return *total > kBodyCap ? 0 : size * count;
}

std::string Url(const std::string& address, std::uint16_t port, const char* path) {
  const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  return "http://" + host + ":" + std::to_string(port) + path;
}

Easy NewHandle(const std::string& url, std::size_t* body_bytes) {
  Easy easy(curl_easy_init());
  if (!easy) return easy;
  CURL* e = easy.get();
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  // The camera itself, never a proxy from the environment.
  curl_easy_setopt(e, CURLOPT_PROXY, "");
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
#if LIBCURL_VERSION_NUM >= 0x075700
  // Cleanup does not wait for a name lookup still running.
  curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
#endif
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, DiscardBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, body_bytes);
  return easy;
}

// One transfer driven through a multi handle in short slices, so that abort is seen at once.
Transfer Run(CURL* easy, Clock::time_point deadline, const std::atomic<bool>& abort) {
  Transfer result;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  const long budget_ms = std::max(1L, static_cast<long>(left));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, budget_ms);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, budget_ms);
  CURLM* multi = curl_multi_init();
  if (multi == nullptr || curl_multi_add_handle(multi, easy) != CURLM_OK) {
    if (multi != nullptr) curl_multi_cleanup(multi);
    result.code = CURLE_OUT_OF_MEMORY;
    return result;
  }
  for (bool done = false; !done;) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg == CURLMSG_DONE) {
        result.code = message->data.result;
        done = true;
      }
    }
    if (done || running == 0) break;
    if (abort.load()) {
      result.aborted = true;
      break;
    }
    // libcurl's own time-out normally ends the transfer first.
    if (Clock::now() >= deadline) break;
    curl_multi_poll(multi, nullptr, 0, kPollSlice, nullptr);
  }
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.status);
  curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &result.os_errno);
  curl_multi_remove_handle(multi, easy);
  curl_multi_cleanup(multi);
  return result;
}

enum class Port { kOpen, kRefused, kSilent, kUnresolved, kAborted };

Port TryConnect(const ReachabilityTarget& target, std::uint16_t port, Clock::time_point deadline,
                const std::atomic<bool>& abort, std::string& detail) {
  std::size_t ignored = 0;
  Easy easy = NewHandle(Url(target.address, port, "/"), &ignored);
  if (!easy) return Port::kAborted;
  curl_easy_setopt(easy.get(), CURLOPT_CONNECT_ONLY, 1L);
  const Transfer t = Run(easy.get(), deadline, abort);
  if (t.aborted) return Port::kAborted;
  if (t.code == CURLE_OK) return Port::kOpen;
  if (t.code == CURLE_COULDNT_RESOLVE_HOST) return Port::kUnresolved;
  if (t.code == CURLE_COULDNT_CONNECT && t.os_errno == ECONNREFUSED) return Port::kRefused;
  detail = t.code == CURLE_COULDNT_CONNECT && t.os_errno != 0 ? std::strerror(static_cast<int>(t.os_errno))
                                                                : curl_easy_strerror(t.code);
  return Port::kSilent;
}

ReachabilityFinding Found(ReachabilityFinding::Kind kind, const ReachabilityTarget& target, const std::string& what) {
  return {kind, target.address + ": " + what};
}

}  // namespace

ReachabilityFinding CheckReachability(const ReachabilityTarget& target, const std::atomic<bool>& abort) {
  static const bool curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!curl_ready) return Found(ReachabilityFinding::kAborted, target, "the host's HTTP library did not start");
  const auto end = Clock::now() + kBudget;
  const auto step = [end](Clock::duration length) { return std::min(Clock::now() + length, end); };
  using F = ReachabilityFinding;
  std::string detail;

  const std::string http = "port " + std::to_string(target.http_port);
  switch (TryConnect(target, target.http_port, step(kHttpConnectStep), abort, detail)) {
    case Port::kAborted: return Found(F::kAborted, target, "check abandoned");
    case Port::kUnresolved: return Found(F::kUnresolved, target, "the address does not resolve");
    case Port::kRefused: return Found(F::kHttpRefused, target, http + " (HTTP) refuses connections");
    case Port::kSilent: return Found(F::kHttpSilent, target, http + " (HTTP) does not answer: " + detail);
    case Port::kOpen: break;
  }
  if (target.rtsp) {
    switch (TryConnect(target, kRtspPort, step(kRtspConnectStep), abort, detail)) {
      case Port::kAborted: return Found(F::kAborted, target, "check abandoned");
      case Port::kUnresolved: return Found(F::kUnresolved, target, "the address does not resolve");
      case Port::kRefused: return Found(F::kRtspRefused, target, "port 554 (RTSP) refuses connections");
      case Port::kSilent: return Found(F::kRtspSilent, target, "port 554 (RTSP) does not answer: " + detail);
      case Port::kOpen: break;
    }
  }

  std::size_t body_bytes = 0;
  Easy easy = NewHandle(Url(target.address, target.http_port, kBrandPath), &body_bytes);
  if (!easy) return Found(F::kAborted, target, "check abandoned");
  if (!target.user.empty() || !target.password.empty()) {
    curl_easy_setopt(easy.get(), CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(easy.get(), CURLOPT_USERNAME, target.user.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_PASSWORD, target.password.c_str());
  }
  const Transfer t = Run(easy.get(), step(kRequestStep), abort);
  if (t.aborted) return Found(F::kAborted, target, "check abandoned");
  if (t.status == 401) {
    return Found(F::kUnauthorized, target,
                 target.user.empty() ? "the camera answers 401 without credentials (give --user and --password)"
                                     : "the camera answers 401 to user \"" + target.user + "\" with this password");
  }
  if (t.status == 0) {
    return Found(F::kHttpError, target,
                 http + " accepts connections but GET " + kBrandPath + " got no reply: " + curl_easy_strerror(t.code));
  }
  if (t.status < 200 || t.status > 299) {
    return Found(F::kHttpError, target, "the camera answers HTTP " + std::to_string(t.status) + " to GET " + kBrandPath);
  }
  return Found(F::kAnswers, target,
               "the camera answers on " + http + (target.rtsp ? " and port 554" : "") + " and accepts these credentials");
}

BackgroundReachabilityCheck::~BackgroundReachabilityCheck() {
  Abort();
  if (thread_.joinable()) thread_.join();
}

void BackgroundReachabilityCheck::Start(ReachabilityTarget target) {
  if (thread_.joinable()) return;
  thread_ = std::thread([this, target = std::move(target)] {
    ReachabilityFinding finding = CheckReachability(target, abort_);
    std::lock_guard lock(mutex_);
    finding_ = std::move(finding);
    done_changed_.notify_all();
  });
}

std::optional<ReachabilityFinding> BackgroundReachabilityCheck::Take() {
  std::lock_guard lock(mutex_);
  if (!finding_ || taken_) return std::nullopt;
  taken_ = true;
  return finding_;
}

bool BackgroundReachabilityCheck::WaitDone(std::chrono::milliseconds bound) {
  std::unique_lock lock(mutex_);
  return done_changed_.wait_for(lock, bound, [this] { return finding_.has_value(); });
}

void BackgroundReachabilityCheck::Abort() { abort_.store(true); }

}  // namespace tessavirn_host
