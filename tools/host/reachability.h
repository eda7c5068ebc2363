#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tessavirn_host {

// The host's own look at a camera that does not answer the driver, to say why in one line.
struct ReachabilityTarget {
  std::string address;
  std::uint16_t http_port = 80;
  std::string user;
  std::string password;
  bool rtsp = true;  // the media comes over RTSP on port 554, so that port is checked too
};

struct ReachabilityFinding {
  enum Kind {
    kUnresolved,     // the address does not resolve
    kHttpRefused,    // the HTTP port refuses connections
    kHttpSilent,     // the HTTP port does not answer
    kRtspRefused,    // port 554 refuses connections
    kRtspSilent,     // port 554 does not answer
    kUnauthorized,   // 401 to these credentials
    kHttpError,      // another HTTP status, or no reply to the request
    kAnswers,        // everything the host can check answers
    kAborted,
  };
  Kind kind = kAborted;
  std::string line;  // "ADDRESS: what was found", without a line end
};

// Runs the checks in order and stops at the first that fails: the name resolves, the HTTP port
// and (for RTSP) port 554 accept a TCP connection, and a GET of the camera's brand parameter with
// Basic credentials is not answered 401. Each step has its own deadline and the whole takes under
// 3 s; abort ends it within about 50 ms. Any thread.
ReachabilityFinding CheckReachability(const ReachabilityTarget& target, const std::atomic<bool>& abort);

// One check run on a thread of its own, so that the recording loop keeps its pace and its stop
// handling. Start, Take, Abort and WaitDone are called from one thread (the command's).
class BackgroundReachabilityCheck {
 public:
  BackgroundReachabilityCheck() = default;
  // Aborts a check still running and joins its thread.
  ~BackgroundReachabilityCheck();
  BackgroundReachabilityCheck(const BackgroundReachabilityCheck&) = delete;
  BackgroundReachabilityCheck& operator=(const BackgroundReachabilityCheck&) = delete;

  // Only the first call starts a check.
  void Start(ReachabilityTarget target);
  bool started() const { return thread_.joinable(); }
  // The finding once, when the check is done; nullopt before and after.
  std::optional<ReachabilityFinding> Take();
  // True when the check is done within bound.
  bool WaitDone(std::chrono::milliseconds bound);
  void Abort();

 private:
  std::atomic<bool> abort_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable done_changed_;
  std::optional<ReachabilityFinding> finding_;  // guarded by mutex_
  bool taken_ = false;                          // guarded by mutex_
};

}  // namespace tessavirn_host
