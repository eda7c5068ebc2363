// camsim: a camera of the family on one address, for the demo, benchmarks and manual tests.
// Runs until SIGINT or SIGTERM.

#include <signal.h>
#include <time.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "camsim/faults.h"
#include "camsim/jpeg_picture.h"
#include "camsim/simulator.h"

namespace {

constexpr long kPollNanoseconds = 100'000'000;

// A bare name ("ptz_dome") is a profile of the simulator's own folder.
std::string ResolveProfile(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::exists(name, error) || name.find('/') != std::string::npos) return name;
  for (const std::string& candidate : {std::string(CAMSIM_PROFILE_DIR) + "/" + name,
                                       std::string(CAMSIM_PROFILE_DIR) + "/" + name + ".params"}) {
    if (fs::exists(candidate, error)) return candidate;
  }
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "camsim: a simulated network camera. Serves the camera's HTTP parameter interface\n"
      "(params/get.cgi, params/list.cgi, params/set.cgi, api/param.cgi) from a profile, and\n"
      "/video.jpg, with optional authentication and injected faults, until SIGINT or SIGTERM.\n"
      "Admin paths (no authentication, not logged): /camsim/log[?clear], /camsim/connections,\n"
      "/camsim/faults[?add=FAULT|?clear], /camsim/params?K=V, "
      "/camsim/auth?mode=&user=&password=&realm="};
  std::string profile;
  std::string address = "127.0.0.1";
  std::uint16_t port = 80;
  std::string auth_mode = "none";
  camsim::AuthSettings auth;
  std::vector<std::string> fault_texts;
  int jpeg_width = 640;
  int jpeg_height = 480;
  int jpeg_quality = 75;
  bool print_requests = false;

  app.add_option("--profile", profile,
                 "Profile file in the camera's reply format (key=value lines with optional\n"
                 "rangemin=/rangemax= annotations), or the name of one in tools/camsim/profiles:\n"
                 "ptz_dome, encoder_4ch, old_firmware, minimal_fixed")
      ->required();
  app.add_option("--addr", address, "IPv4 address to listen on")->capture_default_str();
  app.add_option("--port", port,
                 "TCP port to listen on (80 needs root or CAP_NET_BIND_SERVICE; 0 picks a "
                 "free\nport, which the start-up line shows)")
      ->capture_default_str();
  app.add_option("--auth", auth_mode,
                 "Authentication the camera asks for: none, basic, or digest (MD5; Basic\n"
                 "credentials are then refused with a Digest challenge)")
      ->check(CLI::IsMember({"none", "basic", "digest"}))
      ->capture_default_str();
  app.add_option("--user", auth.user, "User name the camera accepts")->capture_default_str();
  app.add_option("--password", auth.password, "Password the camera accepts (default empty)");
  app.add_option("--realm", auth.realm, "Realm of the authentication challenge")
      ->capture_default_str();
  app.add_option("--fault", fault_texts,
                 std::string("HTTP fault to inject; may be given several times.\nForm: ") +
                     camsim::kFaultHelp);
  app.add_option("--jpeg-width", jpeg_width, "Width of the /video.jpg test picture")
      ->check(CLI::Range(1, 4096))
      ->capture_default_str();
  app.add_option("--jpeg-height", jpeg_height, "Height of the /video.jpg test picture")
      ->check(CLI::Range(1, 4096))
      ->capture_default_str();
  app.add_option("--jpeg-quality", jpeg_quality, "libjpeg quality of the test picture (1-100)")
      ->check(CLI::Range(1, 100))
      ->capture_default_str();
  app.add_flag("--print-requests", print_requests,
               "Print every request received, as /camsim/log shows it");
  CLI11_PARSE(app, argc, argv);

  auth.mode = *camsim::ParseAuthMode(auth_mode);
  camsim::Simulator simulator;
  std::string error;
  if (!simulator.LoadProfileFile(ResolveProfile(profile), &error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 2;
  }
  for (const std::string& text : fault_texts) {
    const std::optional<camsim::Fault> fault = camsim::ParseFault(text, &error);
    if (!fault) {
      std::fprintf(stderr, "camsim: --fault %s: %s\n", text.c_str(), error.c_str());
      return 2;
    }
    simulator.AddFault(*fault);
  }
  simulator.SetAuth(auth);
  simulator.SetJpegPicture(camsim::EncodeTestPicture(jpeg_width, jpeg_height, jpeg_quality));

  // Blocked before the server's threads exist, so they inherit the mask and only this thread
  // takes the signals, in sigtimedwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  if (!simulator.Start(address, port, &error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("camsim: listening on %s, auth %s\n", simulator.base_url().c_str(),
              auth_mode.c_str());
  std::fflush(stdout);

  std::uint64_t printed = 0;
  const timespec slice{0, kPollNanoseconds};
  int signal_number = -1;
  while (signal_number < 0) {
    signal_number = sigtimedwait(&signals, nullptr, &slice);
    if (!print_requests) continue;
    for (const camsim::RequestRecord& record : simulator.RequestLog()) {
      if (record.sequence <= printed) continue;
      std::printf("%s\n", camsim::Simulator::FormatRecord(record).c_str());
      printed = record.sequence;
    }
    std::fflush(stdout);
  }
  simulator.Stop();
  std::printf("camsim: stopped by signal %d\n", signal_number);
  return 0;
}
