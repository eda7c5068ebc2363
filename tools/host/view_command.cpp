#include "view_command.h"

#include <chrono>
#include <string>

#include "event_hub.h"
#include "stop_wait.h"
#include "view_server.h"
#include "view_session.h"

namespace tessavirn_host {

int RunView(const ViewOptions& options, std::FILE* out, std::FILE* err, const std::atomic<bool>& stop, int stop_fd) {
  using Clock = std::chrono::steady_clock;
  std::string error;
  const auto listen = ParseListenAddress(options.listen, error);
  if (!listen) {
    std::fprintf(err, "tessavirn: %s\n", error.c_str());
    return 2;
  }
  std::string password;
  if (!options.web_password_file.empty()) {
    const auto read = ReadWebPassword(options.web_password_file, error);
    if (!read) {
      std::fprintf(err, "tessavirn: --web-password-file: %s\n", error.c_str());
      return 2;
    }
    password = *read;
  } else if (!listen->loopback) {
    std::fprintf(err,
                 "tessavirn: listening on %s, which others can reach, needs --web-password-file FILE: whoever "
                 "opens the page can move the camera and switch its outputs\n",
                 listen->host.c_str());
    return 2;
  }

  // Declared in this order so that they come apart in reverse: the server's threads use the
  // session and the hub.
  EventHub hub;
  ViewSession session(out, err, hub);
  const int opened = session.Open(options);
  if (opened != 0) return opened;
  ViewServer server(session, hub);
  if (!server.Start(*listen, password, error)) {
    std::fprintf(err, "tessavirn: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(out, "view: %s (Ctrl-C stops)\n", server.Url().c_str());
  std::fflush(out);

  auto next = Clock::now() + std::chrono::seconds(1);
  while (!stop.load()) {
    SleepUntil(next, stop_fd);
    if (stop.load()) break;
    session.Poll();
    while (next <= Clock::now()) next += std::chrono::seconds(1);
  }

  std::fprintf(out, "view: stopping\n");
  std::fflush(out);
  // The streams end first, so that no server thread waits for a picture or an event while the
  // server joins them; then the driver goes, once nothing can call it any more.
  hub.Close();
  session.EndPictures();
  server.Stop();
  session.Close();
  std::fprintf(out, "view: stopped\n");
  std::fflush(out);
  return 0;
}

}  // namespace tessavirn_host
