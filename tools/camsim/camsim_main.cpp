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
#include "camsim/jpeg_clip.h"
#include "camsim/jpeg_picture.h"
#include "camsim/media_faults.h"
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

// "2m", "4m", "8m", "16m": the built 1280x720 clip of that rate; anything else is a path.
std::string BuiltClipPath(const std::string& clip) {
  for (const char* rate : {"2m", "4m", "8m", "16m"}) {
    if (clip == rate) return std::string(CAMSIM_CLIP_DIR) + "/testsrc_1280x720_" + clip + ".h264";
  }
  return clip;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "camsim: a simulated network camera. Serves the camera's HTTP parameter interface\n"
      "(params/get.cgi, params/list.cgi, params/set.cgi, api/param.cgi) from a profile, and\n"
      "/video.jpg, with optional authentication and injected faults, until SIGINT or SIGTERM.\n"
      "Admin paths (no authentication, not logged): /camsim/log[?clear], /camsim/connections,\n"
      "/camsim/faults[?add=FAULT|?clear], /camsim/params?K=V, "
      "/camsim/auth?mode=&user=&password=&realm=,\n"
      "/camsim/rtsp (RTSP counters), /camsim/restart?ms=N,\n"
      "/camsim/video?mode=&fps=&jitter=&seed=&width=&height=&quality= (/video.jpg settings),\n"
      "/camsim/io[?inputN=active|inactive][&clear] (sets alarm input N, clear empties the\n"
      "output write list; lists the alarm input and relay output keys, then every relay output\n"
      "write through params/set.cgi as write<TAB>SEQ<TAB>MS-SINCE-START<TAB>KEY=VALUE),\n"
      "/camsim/sets[?clear] (clear empties it; lists every params/set.cgi request as it arrived,\n"
      "set<TAB>SEQ<TAB>MS-SINCE-START<TAB>QUERY with the query as sent).\n"
      "/video.jpg is a moving camera: a loop of 25 distinct frames, the current one changing at\n"
      "--fps, laid into reply bodies as --video-mode says.\n"
      "RTSP on --rtsp-port: rtsp://ADDR:PORT/VideoInput/N/h264|mjpeg|mpeg4/1 (DESCRIBE, SETUP,\n"
      "PLAY, OPTIONS, TEARDOWN): the H.264 clip, Motion-JPEG pictures encoded at start (RFC 2435)\n"
      "or the MPEG-4 clip (RFC 3016), in a loop over RTP/UDP with RTCP sender reports."};
  std::string profile;
  std::string address = "127.0.0.1";
  std::uint16_t port = 80;
  std::string auth_mode = "none";
  camsim::AuthSettings auth;
  std::vector<std::string> fault_texts;
  camsim::VideoJpegSettings video;
  std::string video_mode = "single";
  bool print_requests = false;
  std::uint16_t rtsp_port = 554;
  std::string rtsp_dialect = "family";
  camsim::RtspSettings rtsp;
  bool no_timeout_announce = false;
  std::string clip;
  std::string mjpeg_size = "640x480";

  app.add_option("--profile", profile,
                 "Profile file in the camera's reply format (key=value lines with optional\n"
                 "rangemin=/rangemax= annotations), or the name of one in tools/camsim/profiles:\n"
                 "ptz_dome, encoder_4ch, old_firmware, minimal_fixed, ptz_auth_wildcard,\n"
                 "named_inputs_32, no_frame_rates")
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
                 std::string("Fault to inject; may be given several times.\nHTTP faults: ") +
                     camsim::kFaultHelp + "\n" + camsim::kMediaFaultHelp);
  app.add_option("--jpeg-width", video.width, "Width of the /video.jpg frames")
      ->check(CLI::Range(1, 4096))
      ->capture_default_str();
  app.add_option("--jpeg-height", video.height, "Height of the /video.jpg frames")
      ->check(CLI::Range(1, 4096))
      ->capture_default_str();
  app.add_option("--jpeg-quality", video.quality, "libjpeg quality of the frames (1-100)")
      ->check(CLI::Range(1, 100))
      ->capture_default_str();
  app.add_option("--video-mode", video_mode,
                 "How pictures go into /video.jpg bodies: single (one a body), two-per-body\n"
                 "(two consecutive pictures back to back), split-two / split-three (one picture\n"
                 "over 2 / 3 successive bodies, cut at awkward points), no-picture (200 replies\n"
                 "holding an HTML error page or a picture cut off before its end)")
      ->check(CLI::IsMember({"single", "two-per-body", "split-two", "split-three", "no-picture"}))
      ->capture_default_str();
  app.add_option("--fps", video.fps, "Frames a second of the /video.jpg loop")
      ->check(CLI::Range(1, camsim::kVideoMaxFps))
      ->capture_default_str();
  app.add_option("--jitter", video.jitter_ms,
                 "Each /video.jpg reply waits a seeded random 0 to this many ms")
      ->check(CLI::Range(0, camsim::kVideoMaxJitterMs))
      ->capture_default_str();
  app.add_option("--seed", video.seed, "Seed of the jitter and of the drawn cut points")
      ->capture_default_str();
  app.add_flag("--print-requests", print_requests,
               "Print every request received, as /camsim/log shows it");
  app.add_option("--rtsp-port", rtsp_port, "RTSP port (0: no RTSP)")->capture_default_str();
  app.add_option("--rtsp-dialect", rtsp_dialect,
                 "family: numeric session ids and only the reply headers the family's clients\n"
                 "know; standard: alphanumeric ids, more headers, DESCRIBE body in a segment of\n"
                 "its own")
      ->check(CLI::IsMember({"family", "standard"}))
      ->capture_default_str();
  app.add_option("--session-timeout", rtsp.session_timeout_s,
                 "Seconds without a request after which an RTSP session ends")
      ->check(CLI::Range(1, 86400))
      ->capture_default_str();
  app.add_flag("--no-timeout-announce", no_timeout_announce,
               "Leave \";timeout=N\" off the Session header (the time-out still applies)");
  app.add_flag("--timeout-in-setup-only", rtsp.timeout_in_setup_only,
               "Announce \";timeout=N\" in the SETUP reply only, not in later Session headers");
  app.add_flag("--stap-a", rtsp.stap_a_parameter_sets,
               "Send the parameter sets (SPS, PPS, SEI) as one STAP-A packet");
  app.add_option("--max-payload", rtsp.max_payload,
                 "Largest RTP payload in bytes; larger NAL units go as FU-A fragments, JPEG scan\n"
                 "data and MPEG-4 pictures over several packets")
      ->check(CLI::Range(16, 65000))
      ->capture_default_str();
  app.add_option("--clip", clip,
                 "H.264 Annex B clip to stream, or \"2m\", \"4m\", \"8m\", \"16m\" for the built 1280x720\n"
                 "clip of that rate (2m, 4m, 16m: `cmake --build build --target camsim_bench_clips`)\n"
                 "(default: the built 640x480 clip)");
  app.add_option("--mjpeg-type", rtsp.mjpeg.type,
                 "RFC 2435 type of the Motion-JPEG stream: 0 (4:2:2), 1 (4:2:0), 64 or 65 (the\n"
                 "same with restart markers; every packet carries the restart header)")
      ->check(CLI::IsMember({0, 1, 64, 65}))
      ->capture_default_str();
  app.add_option("--mjpeg-q", rtsp.mjpeg.q,
                 "Q of the Motion-JPEG stream: 1-99 encodes with libjpeg's tables for that quality\n"
                 "and sends no tables; 128-255 encodes at --mjpeg-table-quality and sends the\n"
                 "tables in the first packet of every frame")
      ->check(CLI::Range(1, 99) | CLI::Range(128, 255))
      ->capture_default_str();
  app.add_option("--mjpeg-table-quality", rtsp.mjpeg.table_quality,
                 "libjpeg quality of the pictures when Q is 128 or more")
      ->check(CLI::Range(1, 100))
      ->capture_default_str();
  app.add_flag("--mjpeg-tables-once", rtsp.mjpeg.tables_once,
               "With Q of 128 or more, send the tables in the session's first frame only; later\n"
               "frames send the table length 0");
  app.add_option("--mjpeg-size", mjpeg_size,
                 "Motion-JPEG picture size WIDTHxHEIGHT, each a multiple of 16 up to 2032")
      ->capture_default_str();
  app.add_option("--mjpeg-restart-interval", rtsp.mjpeg.restart_interval,
                 "MCUs between restart markers for types 64 and 65")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_flag("--mpeg4-header-packet", rtsp.mpeg4_header_own_packet,
               "Send the MPEG-4 configuration header before each intra picture in a packet of its\n"
               "own (no marker) instead of in the picture's first packet");
  app.add_option("--mpeg4-clip", rtsp.mpeg4_clip_path,
                 "MPEG-4 visual elementary stream to send (default: the built 352x288 clip)");
  app.add_option("--frame-log", rtsp.frame_log_path,
                 "Write one line per access unit sent: index session rtp_ts idr header length\n"
                 "marker_time_ns (header: a parameter-set or configuration header unit; length:\n"
                 "H.264 Annex B bytes with 3-byte start codes, the JPEG picture's bytes, the MPEG-4\n"
                 "unit's bytes; marker_time_ns: system clock when its last packet left)");
  CLI11_PARSE(app, argc, argv);

  auth.mode = *camsim::ParseAuthMode(auth_mode);
  if (std::sscanf(mjpeg_size.c_str(), "%dx%d", &rtsp.mjpeg.width, &rtsp.mjpeg.height) != 2) {
    std::fprintf(stderr, "camsim: --mjpeg-size %s: expected WIDTHxHEIGHT\n", mjpeg_size.c_str());
    return 2;
  }
  if (const std::string wrong = camsim::JpegClip::CheckSettings(rtsp.mjpeg); !wrong.empty()) {
    std::fprintf(stderr, "camsim: Motion-JPEG: %s\n", wrong.c_str());
    return 2;
  }
  camsim::Simulator simulator;
  std::string error;
  if (!simulator.LoadProfileFile(ResolveProfile(profile), &error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 2;
  }
  std::vector<camsim::MediaFault> media_faults;
  for (const std::string& text : fault_texts) {
    if (camsim::IsMediaFaultText(text)) {
      const std::optional<camsim::MediaFault> fault = camsim::ParseMediaFault(text, &error);
      if (!fault) {
        std::fprintf(stderr, "camsim: --fault %s: %s\n", text.c_str(), error.c_str());
        return 2;
      }
      media_faults.push_back(*fault);
      continue;
    }
    const std::optional<camsim::Fault> fault = camsim::ParseFault(text, &error);
    if (!fault) {
      std::fprintf(stderr, "camsim: --fault %s: %s\n", text.c_str(), error.c_str());
      return 2;
    }
    simulator.AddFault(*fault);
  }
  simulator.SetAuth(auth);
  rtsp.enabled = rtsp_port != 0;
  rtsp.port = rtsp_port;
  rtsp.dialect = *camsim::ParseRtspDialect(rtsp_dialect);
  rtsp.announce_timeout = !no_timeout_announce;
  rtsp.clip_path = BuiltClipPath(clip);
  simulator.SetRtspSettings(rtsp);
  video.mode = *camsim::ParseVideoJpegMode(video_mode);
  simulator.SetVideoJpegSettings(video);

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
  // Faults that act at once (stalls, restarts) act from the start.
  for (const camsim::MediaFault& fault : media_faults) simulator.AddMediaFault(fault);
  std::printf("camsim: listening on %s, auth %s\n", simulator.base_url().c_str(),
              auth_mode.c_str());
  if (rtsp.enabled) {
    std::printf("camsim: rtsp on %s (%s dialect)\n", simulator.rtsp_url().c_str(),
                rtsp_dialect.c_str());
  }
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
