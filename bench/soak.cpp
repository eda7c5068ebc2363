// Soak: many start/stop cycles of one channel, then many open/close cycles of a driver, in one
// process against a running camera, as a recorder does over weeks. Prints resident memory, open
// descriptors and threads before and after each series, the longest stop, and the cycles whose
// channel delivered no frame within 5 s.
// Usage: tessavirn_soak --address A [--port P] [--cycles N] [--driver PATH]
#include <CLI/CLI.hpp>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "device_config.h"
#include "driver_session.h"
#include "host/video_capture.h"
#include "record_options.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct ProcessFigures {
  long rss_kib = 0;
  long threads = 0;
  long descriptors = 0;
};

long StatusField(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
  }
  return -1;
}

ProcessFigures Measure() {
  ProcessFigures figures;
  figures.rss_kib = StatusField("VmRSS");
  figures.threads = StatusField("Threads");
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++figures.descriptors;
    closedir(dir);
    figures.descriptors -= 3;  // ".", ".." and the descriptor of the listing itself
  }
  return figures;
}

void Report(const char* series, int cycles, const ProcessFigures& before, const ProcessFigures& after,
            Clock::duration longest_stop, int without_frames) {
  std::printf("%s: %d cycles\n", series, cycles);
  std::printf("  resident memory: %ld KiB before, %ld KiB after (%+ld KiB)\n", before.rss_kib, after.rss_kib,
              after.rss_kib - before.rss_kib);
  std::printf("  descriptors:     %ld before, %ld after\n", before.descriptors, after.descriptors);
  std::printf("  threads:         %ld before, %ld after\n", before.threads, after.threads);
  std::printf("  longest stop:    %.2f ms\n", std::chrono::duration<double, std::milli>(longest_stop).count());
  if (without_frames >= 0) std::printf("  cycles without a frame within 5 s: %d\n", without_frames);
  std::fflush(stdout);
}

// Counts frames; the host side of one channel.
class FrameCounter final : public kalmora::ipcapture::ICaptureFrameCallback {
 public:
  bool CaptureFrameCallback(kalmora::ipcapture::ICaptureFrame*) override {
    frames.fetch_add(1);
    return true;
  }
  void Reserved3() override {}
  void NotifyNoSignal() override {}
  std::atomic<std::uint64_t> frames{0};
};

bool WaitFirstFrame(const FrameCounter& counter, std::uint64_t before) {
  const auto deadline = Clock::now() + 5s;
  while (counter.frames.load() == before && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
  return counter.frames.load() != before;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tessavirn_soak: start/stop and open/close cycles against a running camera"};
  tessavirn_host::DeviceConfig device;
  std::string driver_path;
  int cycles = 1000;
  app.add_option("--address", device.address, "Camera address")->required();
  app.add_option("--port", device.port, "Camera HTTP port")->capture_default_str();
  app.add_option("--cycles", cycles, "Cycles of each series")->capture_default_str()->check(CLI::Range(1, 1000000));
  app.add_option("--driver", driver_path, "Path of libtessavirn.so (default: beside this program)");
  CLI11_PARSE(app, argc, argv);
  tessavirn_host::FillDefaultCustomParameters(device);
  // What a session says about each open would drown the figures.
  std::FILE* quiet = std::fopen("/dev/null", "w");
  if (quiet == nullptr) return 1;
  // A few cycles first, so that allocator pools and the library's one-time state are in place
  // before the first measurement.
  const int warm_up = std::min(cycles, 10);

  {
    tessavirn_host::DriverSession session(quiet, stderr, nullptr);
    if (session.Open(driver_path, device) != 0) return 1;
    auto* capture = session.driver()->GetVideoCapture();
    tessavirn_host::ChannelSettings settings(640, 480, 40, 60);
    FrameCounter counter;
    Clock::duration longest_stop{};
    int without_frames = 0;
    ProcessFigures before;
    for (int cycle = -warm_up; cycle < cycles; ++cycle) {
      if (cycle == 0) before = Measure();
      const std::uint64_t frames = counter.frames.load();
      if (!capture->StartChannel(0, &counter, &settings)) {
        std::fprintf(stderr, "tessavirn_soak: StartChannel refused in cycle %d\n", cycle);
        return 1;
      }
      if (!WaitFirstFrame(counter, frames) && cycle >= 0) ++without_frames;
      const auto stop_begin = Clock::now();
      capture->StopChannel(0);
      if (cycle >= 0) longest_stop = std::max(longest_stop, Clock::now() - stop_begin);
    }
    Report("channel start/stop", cycles, before, Measure(), longest_stop, without_frames);
    std::printf("  frames received: %llu\n", static_cast<unsigned long long>(counter.frames.load()));
    // The reference host keeps every log entry (online and offline for each cycle): part of the
    // growth above is that list, not the driver.
    std::printf("  log entries the host keeps: %zu\n", session.sink().Count());
  }

  Clock::duration longest_close{};
  ProcessFigures before;
  for (int cycle = -warm_up; cycle < cycles; ++cycle) {
    if (cycle == 0) before = Measure();
    tessavirn_host::DriverSession session(quiet, stderr, nullptr);
    if (session.Open(driver_path, device) != 0) return 1;
    const auto close_begin = Clock::now();
    session.Close();
    if (cycle >= 0) longest_close = std::max(longest_close, Clock::now() - close_begin);
  }
  Report("driver load/open/close/unload", cycles, before, Measure(), longest_close, -1);
  std::fclose(quiet);
  return 0;
}
