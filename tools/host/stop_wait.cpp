#include "stop_wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace tessavirn_host {

void SleepUntil(std::chrono::steady_clock::time_point when, int stop_fd) {
  using Clock = std::chrono::steady_clock;
  if (stop_fd < 0) {
    std::this_thread::sleep_until(when);
    return;
  }
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    if (left <= 0) return;
    pollfd watched{stop_fd, POLLIN, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(std::min<long long>(left, 60'000)));
    if (ready > 0) return;
    if (ready < 0 && errno != EINTR) {
      std::this_thread::sleep_until(when);
      return;
    }
  }
}

}  // namespace tessavirn_host
