#pragma once

#include <chrono>

namespace tessavirn_host {

// Sleeps until when, or until stop_fd turns readable (a stop was asked for) when it is not -1.
void SleepUntil(std::chrono::steady_clock::time_point when, int stop_fd);

}  // namespace tessavirn_host
