#pragma once

#include <atomic>
#include <cstdio>

#include "view_options.h"

namespace tessavirn_host {

// Opens the driver for the camera as a recorder does, starts the channels, the digital I/O and
// the PTZ controls, and serves the view's page and API (see ViewServer) until stop becomes true
// (stop_fd, when not -1, turns readable at the same time and wakes the wait at once). Prints the
// page's address ("view: http://HOST:PORT/") and the driver's log on out. Returns the process
// exit status: 0 after a stop, 1 the open was refused or the server could not listen, 2 bad
// arguments (a listen address other than loopback without a page password, an unreadable
// password file), 3 the driver could not be loaded.
int RunView(const ViewOptions& options, std::FILE* out, std::FILE* err, const std::atomic<bool>& stop, int stop_fd);

}  // namespace tessavirn_host
