#include "ptz_command.h"

#include <chrono>
#include <climits>
#include <filesystem>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include <pugixml.hpp>

#include "camera/device_type.h"
#include "driver_session.h"
#include "host/ptz.h"
#include "ptz/ptz_capabilities.h"
#include "ptz_words.h"
#include "record_options.h"

namespace tessavirn_host {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the hold after a motion looks at the driver's log.
constexpr auto kPollInterval = 50ms;
constexpr unsigned kNameBufferSize = 4096;
// The preset file's root element: the driver family's word.
constexpr const char* kPresetFileRoot = "Orvane";

// The driver's log texts that end a queued command unsuccessfully: the camera request failed or
// was not made. Each queued command ends with at most one of them.
constexpr std::string_view kCommandFailurePrefixes[] = {
    "kalmora::COrvanePTZComm::SendRequestWrapper: ",
    "kalmora::COrvanePTZComm::HandleWorkItem: ",
};

// The kind word of a motion command.
const char* MotionKind(PtzCommand::Kind kind) {
  switch (kind) {
    case PtzCommand::kMove: return "move";
    case PtzCommand::kZoom: return "zoom";
    case PtzCommand::kFocus: return "focus";
    case PtzCommand::kIris: return "iris";
    default: return "";
  }
}

const PtzMotion* FindMotion(const PtzCommand& command) { return FindPtzMotion(MotionKind(command.kind), command.word); }

void PrintLine(std::FILE* out, const std::string& line) {
  std::fprintf(out, "%s\n", line.c_str());
  std::fflush(out);
}

void Complain(std::FILE* out, std::FILE* err, const std::string& text) {
  std::fflush(out);
  std::fprintf(err, "tessavirn: %s\n", text.c_str());
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

const std::string* CustomParameter(const DeviceConfig& device, std::uint32_t index) {
  const auto it = device.custom_parameters.find(index);
  return it == device.custom_parameters.end() || it->second.empty() ? nullptr : &it->second;
}

// What makes the command line unusable for ptz, or empty.
std::string DescribeArgumentProblem(const PtzOptions& options) {
  const std::string* channels = CustomParameter(options.device, 8);
  const auto count = channels != nullptr ? ParseDecimal(*channels) : std::nullopt;
  if (!count || *count < 1) {
    return "ptz needs --param 8=N, the number of PTZ channels, with N from 1" +
           (channels != nullptr ? ", not " + Quoted(*channels) : std::string());
  }
  if (CustomParameter(options.device, 9) == nullptr) {
    return "ptz needs --param 9=FILE, the preset file kept beside this program";
  }
  if (CustomParameter(options.device, 10) == nullptr) {
    return "ptz needs --param 10=CAPS, the capability text (\"F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:1\")";
  }
  const PtzCommand& command = options.command;
  const bool motion = command.kind == PtzCommand::kMove || command.kind == PtzCommand::kZoom ||
                      command.kind == PtzCommand::kFocus || command.kind == PtzCommand::kIris;
  if (motion) {
    if (FindMotion(command) == nullptr) return "unknown word " + Quoted(command.word) + " (" + PtzMotionWords() + ")";
    const auto speed = ParseDecimal(command.speed);
    if (!speed || *speed < INT_MIN || *speed > INT_MAX) {
      return "SPEED must be a decimal integer (the driver uses 1 to 16), not " + Quoted(command.speed);
    }
  }
  return {};
}

// The folder of this program, where the driver keeps the preset file.
std::filesystem::path ProgramFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path(".") : exe.parent_path();
}

// The key the preset file records for the preset at position of the channel, when the entry
// there carries that name; the host interface does not give keys.
std::optional<std::uint32_t> ReadPresetKey(const pugi::xml_document& file, std::uint32_t channel,
                                           unsigned position, const std::string& name) {
  char channel_element[32];
  char preset_element[32];
  std::snprintf(channel_element, sizeof channel_element, "PtzChannel%02llu",
                static_cast<unsigned long long>(channel) + 1);
  std::snprintf(preset_element, sizeof preset_element, "Preposition%03u", position);
  const pugi::xml_node entry = file.child(kPresetFileRoot).child(channel_element).child(preset_element);
  if (name != entry.child("Name").attribute("value").value()) return std::nullopt;
  const auto key = ParseDecimal(entry.child("Slot").attribute("value").value());
  if (!key || *key < 0 || *key > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(*key);
}

// The driver opened for one camera with its log printed to out.
struct PtzSession {
  PtzSession(std::FILE* out_file, std::FILE* err_file)
      : out(out_file),
        err(err_file),
        session(out_file, err_file, nullptr),
        logs(session.sink(), [out_file](const std::string& line) { PrintLine(out_file, line); }) {}

  // The control of the channel, or null after saying why, with code set to the exit status.
  kalmora::IIPPTZApiEx* Open(const PtzOptions& options, const DeviceConfig& device, int& code) {
    code = session.Open(options.driver_path, device);
    logs.PrintNew();
    if (code != 0) return nullptr;
    code = 1;
    kalmora::IIPPTZDriverEx* ptz = session.driver()->GetPTZDriverEx();
    if (ptz == nullptr) {
      Complain(out, err, "the driver has no PTZ object");
      return nullptr;
    }
    kalmora::IIPPTZApiEx* control = ptz->GetPTZApiEx(options.channel);
    logs.PrintNew();
    if (control == nullptr) {
      Complain(out, err,
               "the driver has no control for PTZ channel " + std::to_string(options.channel) +
                   ": the channel must be below --param 8, the preset file (--param 9) a plain file name and "
                   "the capability text (--param 10) well-formed; see the driver's log");
      return nullptr;
    }
    code = 0;
    return control;
  }

  // Prints the call's status; true when it is 1.
  bool Report(const std::string& call, int status) {
    logs.PrintNew();
    PrintLine(out, call + ": " + PtzStatusText(status));
    if (status == 1) return true;
    Complain(out, err, "the PTZ control refused " + call + ": " + PtzStatusText(status));
    return false;
  }

  // The failures the command thread has logged since mark.
  std::size_t CommandFailuresSince(std::size_t mark) const {
    std::size_t failures = 0;
    for (const auto& entry : session.sink().EntriesFrom(mark)) {
      for (const auto prefix : kCommandFailurePrefixes) {
        if (std::string_view(entry.text).starts_with(prefix)) ++failures;
      }
    }
    return failures;
  }

  // Keeps the driver open for hold_ms, printing its log, so that its command thread sends what
  // was queued since mark; ends early once each of the queued commands has reported a failure.
  // The driver says nothing when a command succeeds, so a success always holds in full. Returns
  // the failures reported.
  std::size_t Hold(std::size_t mark, std::size_t queued, std::uint32_t hold_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(hold_ms);
    std::size_t failures = CommandFailuresSince(mark);
    while (failures < queued && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::min<Clock::duration>(kPollInterval, deadline - Clock::now()));
      logs.PrintNew();
      failures = CommandFailuresSince(mark);
    }
    return failures;
  }

  std::FILE* out;
  std::FILE* err;
  DriverSession session;
  LogPrinter logs;
};

// A motion: its start call, the optional Stop after it, then the hold.
int RunMotion(const PtzOptions& options, PtzSession& driver, kalmora::IIPPTZApiEx& control) {
  const PtzCommand& command = options.command;
  const int speed = static_cast<int>(*ParseDecimal(command.speed));
  const std::size_t mark = driver.session.sink().Count();
  const PtzMotion& motion = *FindMotion(command);
  if (!driver.Report(PtzCallText(motion, speed), StartPtzMotion(control, motion, speed))) return 1;
  std::size_t queued = 1;
  if (options.stop_after_ms != 0) {
    driver.Hold(mark, SIZE_MAX, options.stop_after_ms);
    const int stopped = control.Stop();
    if (!driver.Report("Stop()", stopped)) return 1;
    ++queued;
  }
  const std::size_t failures = driver.Hold(mark, queued, options.hold_ms);
  if (failures != 0) {
    Complain(driver.out, driver.err, "the camera did not take the command: see the driver's log");
    return 1;
  }
  PrintLine(driver.out, "held the driver open " + std::to_string(options.hold_ms) + " ms: no failure reported");
  return 0;
}

int RunStop(const PtzOptions& options, PtzSession& driver, kalmora::IIPPTZApiEx& control) {
  const std::size_t mark = driver.session.sink().Count();
  if (!driver.Report("Stop()", control.Stop())) return 1;
  PrintLine(driver.out,
            "note: the control stops only the motions it started, and this run started none, so nothing was "
            "sent; stop a motion in its own run with --stop-after MS");
  return driver.Hold(mark, 1, options.hold_ms) == 0 ? 0 : 1;
}

// The camera slots of the preset keys, as the driver maps them from the capability text and the
// product type; empty when the text does not parse.
std::vector<std::uint32_t> PresetSlots(const DeviceConfig& device) {
  kalmora::COrvanePtzCapabilities capabilities;
  if (!capabilities.Parse(*CustomParameter(device, 10))) return {};
  const std::string* product = CustomParameter(device, 3);
  return kalmora::BuildPresetSlotTable(kalmora::ClassifyDeviceType(product != nullptr ? *product : ""),
                                       capabilities.first_preset_slot, capabilities.last_preset_slot);
}

int RunPresetList(const PtzOptions& options, PtzSession& driver, kalmora::IIPPTZApiEx& control) {
  const int count = control.GetPresetCount();
  driver.logs.PrintNew();
  PrintLine(driver.out, "GetPresetCount(): " + std::to_string(count));
  const auto path = ProgramFolder() / *CustomParameter(options.device, 9);
  pugi::xml_document file;
  if (!file.load_file(path.c_str())) {
    PrintLine(driver.out, "preset file " + path.string() + " not readable: slots unknown");
  }
  const std::vector<std::uint32_t> slots = PresetSlots(options.device);
  std::vector<char> name(kNameBufferSize);
  for (int position = 0; position < count; ++position) {
    const int status = control.GetPresetName(position, name.data(), kNameBufferSize);
    if (status != 1) {
      driver.Report("GetPresetName(" + std::to_string(position) + ")", status);
      return 1;
    }
    const std::string text(name.data());
    const auto key = ReadPresetKey(file, options.channel, static_cast<unsigned>(position), text);
    const std::string slot = key && *key < slots.size() ? std::to_string(slots[*key]) : "?";
    PrintLine(driver.out, std::to_string(position) + "\t" + slot + "\t" + text);
  }
  return 0;
}

int RunCaps(PtzSession& driver, kalmora::IIPPTZApiEx& control) {
  PTZCapabilityRecord record;
  const bool done = driver.Report("GetCapabilities()", control.GetCapabilities(&record));
  if (done) {
    std::string words = "record words 0-13:";
    for (const std::uint32_t word : record.words) words += " " + std::to_string(word);
    PrintLine(driver.out, words);
    PrintLine(driver.out, "preset maximum (word 7) " + std::to_string(record.words[7]) + ", presets (word 8) " +
                              std::to_string(record.words[8]));
  }
  const int enabled = control.IsPTZEnabled();
  driver.logs.PrintNew();
  PrintLine(driver.out, "IsPTZEnabled(): " + std::to_string(enabled) + (enabled == 1 ? " (yes)" : " (no)"));
  return done ? 0 : 1;
}

int RunCommand(const PtzOptions& options, PtzSession& driver, kalmora::IIPPTZApiEx& control) {
  const PtzCommand& command = options.command;
  switch (command.kind) {
    case PtzCommand::kMove:
    case PtzCommand::kZoom:
    case PtzCommand::kFocus:
    case PtzCommand::kIris:
      return RunMotion(options, driver, control);
    case PtzCommand::kStop:
      return RunStop(options, driver, control);
    case PtzCommand::kPresetAdd:
      return driver.Report("AddPreset(" + Quoted(command.name) + ")", control.AddPreset(command.name.c_str())) ? 0 : 1;
    case PtzCommand::kPresetGo:
      return driver.Report("GoToPreset(0, " + Quoted(command.name) + ")", control.GoToPreset(0, command.name.c_str()))
                 ? 0
                 : 1;
    case PtzCommand::kPresetRename:
      // The driver renames the preset the camera stands at: recalling it first makes it that one.
      if (!driver.Report("GoToPreset(0, " + Quoted(command.name) + ")", control.GoToPreset(0, command.name.c_str()))) {
        return 1;
      }
      return driver.Report("AddPreset(" + Quoted(command.new_name) + ")", control.AddPreset(command.new_name.c_str()))
                 ? 0
                 : 1;
    case PtzCommand::kPresetDelete:
      return driver.Report("DeletePreset(" + Quoted(command.name) + ")", control.DeletePreset(command.name.c_str()))
                 ? 0
                 : 1;
    case PtzCommand::kPresetList:
      return RunPresetList(options, driver, control);
    case PtzCommand::kCaps:
      return RunCaps(driver, control);
  }
  return 2;
}

}  // namespace

int RunPtz(const PtzOptions& options, std::FILE* out, std::FILE* err) {
  const std::string problem = DescribeArgumentProblem(options);
  if (!problem.empty()) {
    Complain(out, err, problem);
    return 2;
  }
  PtzSession driver(out, err);
  int code = 0;
  kalmora::IIPPTZApiEx* control = driver.Open(options, PrepareDevice(options.device), code);
  if (control != nullptr) code = RunCommand(options, driver, *control);
  // Closing drops the commands still queued and joins the command threads.
  driver.session.Close();
  driver.logs.PrintNew();
  return code;
}

}  // namespace tessavirn_host
