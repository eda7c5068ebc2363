#include "io_command.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "driver_session.h"
#include "host/types.h"
#include "record_options.h"

namespace tessavirn_host {
namespace {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;
using namespace std::chrono_literals;

// The longest the main loop sleeps before it looks at the log, the stop flag and the clock.
constexpr auto kPollInterval = 100ms;
constexpr std::int64_t kDefaultNetworkTimeoutMs = 5000;

// The driver's log texts for an output write: "...Output N of camera ADDRESS:PORT set to active."
// on a 200 reply, "...Cannot set output N of camera ADDRESS:PORT. Status code = S." otherwise.
constexpr std::string_view kWrittenPrefix = "kalmora::COrvaneDigitalIO::WriteOutput: Output ";
constexpr std::string_view kRefusedPrefix = "kalmora::COrvaneDigitalIO::WriteOutput: Cannot set output ";
constexpr std::string_view kOfCamera = " of camera ";
constexpr std::string_view kSetToActive = " set to active.";
constexpr std::string_view kSetToInactive = " set to inactive.";
constexpr std::string_view kStatusCode = ". Status code = ";

struct IoEvent {
  WallClock::time_point at;
  bool failure = false;
  std::uint32_t input = 0;
  std::int32_t state = 0;
};

// The host's I/O callback. The driver calls it from its poll and output threads, possibly both
// at once, and from the thread that calls Start; the command's main thread takes the events
// and prints them, so they never interleave with other output.
class IoEventQueue final : public kalmora::ipcapture::ICaptureIOCallback {
 public:
  void OnInputStateChanged(std::uint32_t input, std::int32_t state) override {
    Push({WallClock::now(), false, input, state});
  }
  void OnIOFailure() override { Push({WallClock::now(), true, 0, 0}); }

  // The events that arrived, waiting for one until deadline when there are none yet.
  std::vector<IoEvent> TakeUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_until(lock, deadline, [this] { return !events_.empty(); });
    std::vector<IoEvent> taken;
    taken.swap(events_);
    return taken;
  }

 private:
  void Push(IoEvent event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
    }
    wake_.notify_one();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<IoEvent> events_;  // guarded by mutex_
};

// "HH:MM:SS.mmm" in local time.
std::string FormatWallClock(WallClock::time_point at) {
  const auto since_epoch = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(since_epoch / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(since_epoch % 1000));
  return text;
}

std::string FormatIoEvent(const IoEvent& event) {
  const std::string time = FormatWallClock(event.at);
  if (event.failure) return time + " I/O failure: camera not reachable";
  std::string state;
  switch (event.state) {
    case kalmora::ipcapture::kIoActive: state = "active"; break;
    case kalmora::ipcapture::kIoInactive: state = "inactive"; break;
    case kalmora::ipcapture::kIoUnknown: state = "unknown"; break;
    default: state = "state " + std::to_string(event.state); break;
  }
  return time + " input " + std::to_string(event.input) + " " + state;
}

void PrintLine(std::FILE* out, const std::string& line) {
  std::fprintf(out, "%s\n", line.c_str());
  std::fflush(out);
}

// Prints the events and says whether one of them was an I/O failure.
bool PrintEvents(std::FILE* out, const std::vector<IoEvent>& events) {
  bool failure = false;
  for (const auto& event : events) {
    PrintLine(out, FormatIoEvent(event));
    failure = failure || event.failure;
  }
  return failure;
}

const std::string* CustomParameter(const DeviceConfig& device, std::uint32_t index) {
  const auto it = device.custom_parameters.find(index);
  return it == device.custom_parameters.end() ? nullptr : &it->second;
}

// What the driver logged about one output write.
struct OutputWrite {
  std::uint32_t output = 0;
  bool answered = false;  // the camera answered 200
  bool active = false;    // with answered: the state written
  int status = 0;         // without answered: the camera's status code
};

std::optional<std::uint32_t> ParseOutputNumber(std::string_view text) {
  const auto value = ParseDecimal(text);
  if (!value || *value < 0 || *value > 0xFFFFFFFFLL) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<OutputWrite> ParseOutputWrite(std::string_view text) {
  OutputWrite write;
  if (text.starts_with(kWrittenPrefix)) {
    text.remove_prefix(kWrittenPrefix.size());
    write.answered = true;
    if (text.ends_with(kSetToActive)) {
      write.active = true;
    } else if (!text.ends_with(kSetToInactive)) {
      return std::nullopt;
    }
  } else if (text.starts_with(kRefusedPrefix)) {
    text.remove_prefix(kRefusedPrefix.size());
    const auto status_at = text.rfind(kStatusCode);
    if (status_at == std::string_view::npos || !text.ends_with(".")) return std::nullopt;
    const auto status_text = text.substr(status_at + kStatusCode.size());
    const auto status = ParseDecimal(status_text.substr(0, status_text.size() - 1));
    if (!status) return std::nullopt;
    write.status = static_cast<int>(*status);
  } else {
    return std::nullopt;
  }
  const auto number_end = text.find(kOfCamera);
  if (number_end == std::string_view::npos) return std::nullopt;
  const auto output = ParseOutputNumber(text.substr(0, number_end));
  if (!output) return std::nullopt;
  write.output = *output;
  return write;
}

// The first write of the output to the state asked for, or refused, among the entries. A
// successful write of the other state is not the one waited for (for on: the off that Start
// writes before the change).
std::optional<OutputWrite> FindOutputWrite(const std::vector<LogEntry>& entries, std::uint32_t output, bool on) {
  for (const auto& entry : entries) {
    const auto write = ParseOutputWrite(entry.text);
    if (!write || write->output != output) continue;
    if (write->answered && write->active != on) continue;
    return write;
  }
  return std::nullopt;
}

std::int64_t NetworkTimeoutMs(const DeviceConfig& device) {
  const std::string* text = CustomParameter(device, 1);
  const auto value = text != nullptr ? ParseDecimal(*text) : std::nullopt;
  if (!value || *value <= 0 || *value > 0x7FFFFFFF) return kDefaultNetworkTimeoutMs;
  return *value;
}

std::string DescribeInputMode(const DeviceConfig& device) {
  const std::string* mode = CustomParameter(device, 12);
  if (mode == nullptr || mode->empty()) return "no input mode: --param 12 is not set, nothing is polled";
  if (*mode != "1" && *mode != "2" && *mode != "3") {
    return "input mode \"" + *mode + "\": not 1, 2 or 3, nothing is polled";
  }
  return "input mode " + *mode;
}

// The driver opened for one device, with the queue as its I/O object's callback and the driver's
// log printed to out. The queue outlives the session: the driver is closed before the callback
// goes away.
struct IoSession {
  IoSession(std::FILE* out_file, std::FILE* err_file)
      : out(out_file),
        err(err_file),
        session(out_file, err_file, nullptr),
        logs(session.sink(), [out_file](const std::string& line) { PrintLine(out_file, line); }) {}

  // The I/O object, or null after saying why, with code set to the exit status.
  kalmora::ICaptureIOApi* Open(const std::string& driver_path, const DeviceConfig& device, int& code) {
    code = session.Open(driver_path, device);
    logs.PrintNew();
    if (code != 0) return nullptr;
    code = 1;
    kalmora::ICaptureIOApi* io = session.driver()->GetCaptureIOApi();
    const char* problem = io == nullptr                 ? "the driver has no digital I/O object"
                          : !io->SetIOCallback(&queue) ? "the digital I/O object refused the callback"
                                                       : nullptr;
    if (problem != nullptr) {
      std::fflush(out);
      std::fprintf(err, "tessavirn: %s\n", problem);
      return nullptr;
    }
    code = 0;
    return io;
  }

  std::FILE* out;
  std::FILE* err;
  IoEventQueue queue;
  DriverSession session;
  LogPrinter logs;
};

void SayNotStarted(std::FILE* out, std::FILE* err) {
  std::fflush(out);
  std::fprintf(err, "tessavirn: the digital I/O object did not start\n");
}

}  // namespace

int RunIoWatch(const IoWatchOptions& options, std::FILE* out, std::FILE* err, const std::atomic<bool>& stop) {
  const DeviceConfig device = PrepareDevice(options.device);
  IoSession driver(out, err);
  IoEventQueue& queue = driver.queue;
  LogPrinter& logs = driver.logs;
  int code = 0;
  kalmora::ICaptureIOApi* io = driver.Open(options.driver_path, device, code);
  if (io == nullptr) return code;

  const auto inputs = device.digital_inputs;
  std::fprintf(out, "watching %d input%s of %s:%u (%s) %s\n", static_cast<int>(inputs), inputs == 1 ? "" : "s",
               device.address.c_str(), static_cast<unsigned>(device.port), DescribeInputMode(device).c_str(),
               options.seconds == 0 ? "until Ctrl-C or SIGTERM"
                                    : ("for " + std::to_string(options.seconds) + " s").c_str());
  std::fflush(out);

  std::size_t changes = 0;
  std::size_t failures = 0;
  const auto print_events = [&](const std::vector<IoEvent>& events) {
    for (const auto& event : events) (event.failure ? failures : changes) += 1;
    PrintEvents(out, events);
  };

  const bool started = io->Start();
  logs.PrintNew();
  if (!started) {
    SayNotStarted(out, err);
  } else {
    const auto end = Clock::now() + std::chrono::seconds(options.seconds);
    while (!stop.load()) {
      const auto now = Clock::now();
      if (options.seconds != 0 && now >= end) break;
      auto wake = now + kPollInterval;
      if (options.seconds != 0) wake = std::min(wake, end);
      const auto events = queue.TakeUntil(wake);
      logs.PrintNew();
      print_events(events);
    }
  }
  // Stop also after a failed start: it ends whatever part of the object did start.
  io->Stop();
  print_events(queue.TakeUntil(Clock::now()));
  driver.session.Close();
  logs.PrintNew();
  if (!started) return 1;
  std::fprintf(out, "watched: %zu input change%s, %zu I/O failure%s\n", changes, changes == 1 ? "" : "s", failures,
               failures == 1 ? "" : "s");
  std::fflush(out);
  return 0;
}

int RunIoSet(const IoSetOptions& options, std::FILE* out, std::FILE* err) {
  const std::int32_t outputs = options.device.digital_outputs;
  if (outputs <= 0 || options.output >= static_cast<std::uint32_t>(outputs)) {
    std::fprintf(err, "tessavirn: OUTPUT %u is not below the number of outputs (--outputs %d)\n",
                 static_cast<unsigned>(options.output), static_cast<int>(outputs));
    return 2;
  }
  const std::string* mode = CustomParameter(options.device, 13);
  if (mode == nullptr || (*mode != "1" && *mode != "2")) {
    std::fprintf(err,
                 "tessavirn: switching an output needs the output mode, --param 13=1 or --param 13=2 (%s); "
                 "with any other the driver changes nothing\n",
                 mode == nullptr ? "not given" : ("given \"" + *mode + "\"").c_str());
    return 2;
  }

  const DeviceConfig device = PrepareDevice(options.device);
  const char* state = options.on ? "on" : "off";
  const std::int64_t wait_ms = 2 * NetworkTimeoutMs(device) + 1000;
  IoSession driver(out, err);
  IoEventQueue& queue = driver.queue;
  DriverSession& session = driver.session;
  LogPrinter& logs = driver.logs;
  int code = 0;
  kalmora::ICaptureIOApi* io = driver.Open(options.driver_path, device, code);
  if (io == nullptr) return code;

  std::fprintf(out, "switching output %u of %s:%u %s (every output is written off first)\n",
               static_cast<unsigned>(options.output), device.address.c_str(), static_cast<unsigned>(device.port),
               state);
  std::fflush(out);

  // For off, the write that Start makes is the change; for on, the one after SetOutput.
  std::size_t mark = session.sink().Count();
  const bool started = io->Start();
  logs.PrintNew();
  bool failure = PrintEvents(out, queue.TakeUntil(Clock::now()));
  bool queued = false;
  if (!started) {
    SayNotStarted(out, err);
  } else if (!options.on) {
    queued = true;
  } else {
    mark = session.sink().Count();
    failure = false;
    queued = io->SetOutput(options.output, kalmora::ipcapture::kIoActive);
    if (!queued) {
      std::fflush(out);
      std::fprintf(err, "tessavirn: the driver did not take the change of output %u\n",
                   static_cast<unsigned>(options.output));
    }
  }

  bool answered = false;
  if (queued) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    std::string outcome;
    while (outcome.empty()) {
      const auto now = Clock::now();
      const auto events = queue.TakeUntil(std::min(now + kPollInterval, deadline));
      logs.PrintNew();
      failure = PrintEvents(out, events) || failure;
      const auto write = FindOutputWrite(session.sink().EntriesFrom(mark), options.output, options.on);
      if (write && write->answered) {
        answered = true;
        outcome = "camera answered 200";
      } else if (write) {
        outcome = "refused, status " + std::to_string(write->status);
      } else if (failure) {
        outcome = "no answer";
      } else if (Clock::now() >= deadline) {
        outcome = "no word from the driver within " + std::to_string(wait_ms) + " ms";
      }
    }
    PrintLine(out, "output " + std::to_string(options.output) + " " + state + ": " + outcome);
  }

  io->Stop();
  PrintEvents(out, queue.TakeUntil(Clock::now()));
  session.Close();
  logs.PrintNew();
  return answered ? 0 : 1;
}

}  // namespace tessavirn_host
