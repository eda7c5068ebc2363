#include "probe_command.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>

#include "config_file.h"
#include "driver_library.h"
#include "reachability.h"

namespace tessavirn_host {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the wait for the query's outcome looks at the stop flag.
constexpr auto kPollInterval = 100ms;

std::string Capability(std::int32_t id, std::int32_t value) {
  const auto yes_no = [value] { return std::string(value != 0 ? "yes" : "no"); };
  switch (id) {
    case kCapVideoInputs: return "video inputs: " + std::to_string(value);
    case kCapPtz: return "PTZ: " + yes_no();
    case kCapDigitalInputs: return "digital inputs: " + std::to_string(value);
    case kCapDigitalOutputs: return "digital outputs: " + std::to_string(value);
    case kCapAudioOutput: return "audio output: " + yes_no();
    case kCapMpeg4: return "MPEG-4: " + yes_no();
    case kCapMjpeg: return "Motion-JPEG: " + yes_no();
    case kCapH264: return "H.264: " + yes_no();
    case kalmora::ipcapture::kCapQueryDone:
    case kalmora::ipcapture::kCapQueryFinished: return "query complete (" + std::to_string(id) + "): " + yes_no();
    default: return "capability " + std::to_string(id) + ": " + std::to_string(value);
  }
}

std::string ConnectionField(std::int32_t index, const std::string& text) {
  switch (index) {
    case 1: return "host: " + text;
    case 2: return "port: " + text;
    case 3: return "user: " + text;
    case 4: return std::string("password: ") + (text.empty() ? "(empty)" : "***");
    default: return "field " + std::to_string(index) + ": " + text;
  }
}

// The folder the settings file goes to must take a new file (the temporary one).
bool SaveFolderWritable(const std::string& path, std::string& why) {
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) folder = ".";
  if (::access(folder.c_str(), W_OK) == 0) return true;
  why = "cannot write to " + folder.string() + ": " + std::strerror(errno);
  return false;
}

}  // namespace

std::string FormatCapabilityReport(const CapabilityReport& report) {
  std::string text = "model: " + (report.model.empty() ? std::string("(none)") : report.model) + "\n";
  text += "capabilities:\n";
  for (const auto& [id, value] : report.capabilities) text += "  " + Capability(id, value) + "\n";
  text += "resolutions:" + std::string(report.resolutions.empty() ? " none\n" : "\n");
  for (const auto& r : report.resolutions) {
    text += "  " + r.name + ": " + std::to_string(r.width) + " x " + std::to_string(r.height) + ", frame interval " +
            (r.frame_interval_ms > 0 ? std::to_string(r.frame_interval_ms) + " ms" : "none") + "\n";
  }
  for (const auto& [which, list] : report.frame_intervals) {
    text += "frame intervals (list " + std::to_string(which) + "):";
    for (std::size_t i = 0; i < list.intervals_ms.size(); ++i) {
      text += (i == 0 ? " " : ", ") + std::to_string(list.intervals_ms[i]);
    }
    if (list.intervals_ms.empty()) text += " none";
    text += " ms; default " + (list.default_ms ? std::to_string(*list.default_ms) + " ms" : std::string("none")) + "\n";
  }
  text += "connection:\n";
  for (const auto& [index, value] : report.connection) text += "  " + ConnectionField(index, value) + "\n";
  text += "custom parameters:\n";
  for (const auto& [index, p] : report.parameters) {
    text += "  " + std::to_string(index) + " " + p.name + " (" +
            (p.kind == 0 ? "numeric" : p.kind == 1 ? "text" : "kind " + std::to_string(p.kind)) + "): " +
            (p.value.empty() ? "(empty)" : p.value) + "\n";
  }
  return text;
}

int RunProbe(const ProbeOptions& options, std::FILE* out, std::FILE* err, const std::atomic<bool>& stop) {
  std::string why;
  if (!options.save_path.empty() && !SaveFolderWritable(options.save_path, why)) {
    std::fprintf(err, "tessavirn: %s\n", why.c_str());
    return 2;
  }
  DriverLibrary library;
  CapabilityQueryExports query;
  const std::string path = options.driver_path.empty() ? DefaultDriverPath() : options.driver_path;
  if (!library.Load(path) || !library.ResolveCapabilityQuery(query)) {
    std::fprintf(err, "tessavirn: %s\n", library.error().c_str());
    return 3;
  }
  std::fprintf(out, "driver: %s\nasking %s:%u what the camera can do\n", library.path().c_str(),
               options.address.c_str(), static_cast<unsigned>(options.port));
  std::fflush(out);

  // The recorder outlives UninitCapabilityQuery, after which the driver calls nothing of it.
  CapabilityRecorder recorder;
  if (query.init(&recorder, options.ntsc ? 1 : 0) == 0) {
    std::fprintf(err, "tessavirn: the driver refused InitCapabilityQuery\n");
    return 1;
  }
  if (query.start(options.address.c_str(), options.port, options.user.c_str(), options.password.c_str(),
                  &recorder) == 0) {
    query.uninit();
    std::fprintf(err, "tessavirn: the driver refused StartCapabilityQuery\n");
    return 1;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(options.timeout_seconds);
  std::optional<CapabilityRecorder::Outcome> outcome;
  while (!outcome && !stop.load() && Clock::now() < deadline) {
    outcome = recorder.WaitOutcome(std::min(Clock::now() + kPollInterval, deadline));
  }
  if (!outcome) query.terminate();
  query.uninit();
  // A word that came while the query was being ended counts as well.
  const bool waited_out = !outcome;
  outcome = recorder.outcome();

  if (outcome && outcome->completed) {
    std::fputs(FormatCapabilityReport(recorder.Report()).c_str(), out);
    std::fflush(out);
    if (options.save_path.empty()) return 0;
    std::string text;
    if (!FormatSettingsFile(recorder.Report(), {options.address, options.port, options.user}, text, why) ||
        !WriteFileAtomically(options.save_path, text, why)) {
      std::fprintf(err, "tessavirn: settings not saved: %s\n", why.c_str());
      return 1;
    }
    std::fprintf(out, "settings saved to %s\n", options.save_path.c_str());
    return 0;
  }

  std::fflush(out);
  if (stop.load()) {
    std::fprintf(err, "tessavirn: stopped before the camera answered\n");
    return 1;
  }
  if (waited_out) {
    std::fprintf(err, "tessavirn: no word from the query within %u s\n", static_cast<unsigned>(options.timeout_seconds));
  }
  if (outcome) {
    std::fprintf(err, "tessavirn: the query failed: %s (code %d)\n", outcome->message.c_str(), outcome->error_code);
  }
  std::fflush(err);
  const ReachabilityFinding finding =
      CheckReachability({options.address, options.port, options.user, options.password, false}, stop);
  if (finding.kind != ReachabilityFinding::kAborted) std::fprintf(err, "tessavirn: %s\n", finding.line.c_str());
  return 1;
}

}  // namespace tessavirn_host
