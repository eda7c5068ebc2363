// tessavirn: the reference host. Loads the capture driver as a recorder does and drives it.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config_file.h"
#include "io_command.h"
#include "open_command.h"
#include "probe_command.h"
#include "ptz_command.h"
#include "record_command.h"
#include "view_command.h"

namespace {

// What the device options of every command fill in.
struct DeviceArguments {
  std::string stream = "h264";
  std::vector<std::string> params;
  std::string config_path;
  // Options by their key in the settings file, to tell which the command line gave.
  std::map<std::string, CLI::Option*> keyed;
  CLI::Option* password = nullptr;
};

// What the record and view commands take beyond one camera's options: --channels is a channel
// list instead of the camera's channel count, and for record --address may be repeated.
struct RecordTargets {
  bool several_addresses = true;
  std::vector<std::string> addresses;
  std::string channels;
  CLI::Option* channels_option = nullptr;
};

// record is null for every command but record.
void AddDeviceOptions(CLI::App& command, tessavirn_host::DeviceConfig& device, DeviceArguments& args,
                      std::string& driver_path, RecordTargets* record = nullptr) {
  command.add_option("--driver", driver_path, "Path of libtessavirn.so (default: beside this program)");
  command.add_option("--config", args.config_path,
                     "Camera settings file as probe --save writes it (key=value lines: address, port, user, stream, "
                     "channels, inputs, outputs, model, param.N); options given here take precedence");
  if (record != nullptr && record->several_addresses) {
    args.keyed["address"] = command.add_option(
        "--address", record->addresses,
        "Camera host name or IP address (required unless the --config file has it); repeat it to record "
        "several cameras at once, each with a driver object of its own and the same settings");
  } else {
    args.keyed["address"] = command.add_option("--address", device.address, "Camera host name or IP address (required "
                                                                            "unless the --config file has it)");
  }
  args.keyed["port"] = command.add_option("--port", device.port, "Camera HTTP port")->capture_default_str();
  args.keyed["user"] = command.add_option("--user", device.user, "User name for the camera");
  args.password = command.add_option("--password", device.password,
                                     "Password for the camera (default: the TESSAVIRN_PASSWORD environment variable)");
  args.keyed["stream"] = command.add_option("--stream", args.stream, "Stream type: h264, mjpeg, mpeg4 (or its number)")
                             ->capture_default_str();
  args.keyed["model"] =
      command.add_option("--model", device.model, "Device model as the recorder knows it")->capture_default_str();
  if (record != nullptr) {
    record->channels_option = command.add_option(
        "--channels", record->channels,
        record->several_addresses
            ? "Channels to record on each camera: N, N-M or a comma-separated list of them (0-3, 0,2), from 0 to 15, "
              "none twice; not with --channel. With more than one channel in all, each channel gets files of its "
              "own: --out and --frame-log PATH become PATH with -ADDRESS-chN inserted before the extension "
              "(rec.h264 -> rec-10.0.0.5-ch2.h264), /dev/null stays /dev/null, and the summary has a block per "
              "channel and a total with the longest channel stop. The camera's channel count told to the driver "
              "(channels= in the --config file) is raised to cover the highest channel"
            : "Channels to show: N, N-M or a comma-separated list of them (0-3, 0,2), from 0 to 15, none twice. "
              "The camera's channel count told to the driver is raised to cover the highest channel");
  } else {
    args.keyed["channels"] =
        command.add_option("--channels", device.video_channels, "Number of video channels")->capture_default_str();
  }
  args.keyed["inputs"] =
      command.add_option("--inputs", device.digital_inputs, "Number of digital inputs")->capture_default_str();
  args.keyed["outputs"] =
      command.add_option("--outputs", device.digital_outputs, "Number of digital outputs")->capture_default_str();
  command.add_option("--param", args.params,
                     "Custom parameter N=TEXT (repeatable). Required by the driver: 1 network timeout in ms, "
                     "2 video standard (0 PAL, 1 NTSC), 6 MJPEG over HTTP (1) or RTSP (0), 8 number of PTZ channels");
}

// What record and view ask of the camera for each channel.
struct PictureArguments {
  std::string size = "640x480";
  std::uint16_t interval_ms = 40;
  std::uint16_t quality = 60;
};

void AddPictureOptions(CLI::App& command, PictureArguments& picture) {
  command.add_option("--size", picture.size, "Picture size WxH asked of the camera")->capture_default_str();
  command.add_option("--interval", picture.interval_ms, "Milliseconds between frames asked of the camera")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  command.add_option("--quality", picture.quality, "Picture quality asked of the camera, 0 to 100")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
}

// The picture size into width and height; false (after saying why) when malformed.
bool ApplyPictureSize(const PictureArguments& picture, std::uint16_t& width, std::uint16_t& height) {
  const auto size = tessavirn_host::ParsePictureSize(picture.size);
  if (!size) {
    std::fprintf(stderr, "tessavirn: --size takes WxH with both from 1 to 65535, not \"%s\"\n", picture.size.c_str());
    return false;
  }
  width = size->first;
  height = size->second;
  return true;
}

// A channel list into channels, raising the camera's channel count to cover it; false (after
// saying why) when malformed.
bool ApplyChannelList(const std::string& text, std::vector<std::uint32_t>& channels,
                      tessavirn_host::DeviceConfig& device) {
  std::string error;
  const auto parsed = tessavirn_host::ParseChannelList(text, error);
  if (!parsed) {
    std::fprintf(stderr, "tessavirn: --channels: %s\n", error.c_str());
    return false;
  }
  channels = *parsed;
  const std::uint32_t highest = *std::max_element(channels.begin(), channels.end());
  device.video_channels = std::max(device.video_channels, static_cast<std::int32_t>(highest) + 1);
  return true;
}

// The password of --password, else of TESSAVIRN_PASSWORD.
void ApplyPasswordFromEnvironment(const CLI::Option* password_option, std::string& password) {
  if (password_option != nullptr && password_option->count() > 0) return;
  if (const char* from_environment = std::getenv("TESSAVIRN_PASSWORD")) password = from_environment;
}

// The stream type, custom parameters and settings file into the configuration; false (after
// saying why) when one is malformed, the file cannot be read or no address is given.
bool ApplyDeviceArguments(const DeviceArguments& args, tessavirn_host::DeviceConfig& device) {
  const auto type = tessavirn_host::ParseStreamType(args.stream);
  if (!type) {
    std::fprintf(stderr, "tessavirn: --stream must be h264, mjpeg, mpeg4 or a number, not \"%s\"\n",
                 args.stream.c_str());
    return false;
  }
  device.stream_type = *type;
  std::set<std::string> given;
  for (const auto& [key, option] : args.keyed) {
    if (option->count() > 0) given.insert(key);
  }
  for (const auto& p : args.params) {
    if (!tessavirn_host::AddCustomParameter(device, p)) {
      std::fprintf(stderr, "tessavirn: --param takes N=TEXT with N from 1, not \"%s\"\n", p.c_str());
      return false;
    }
    given.insert("param." + std::to_string(std::stoul(p.substr(0, p.find('=')))));
  }
  if (!args.config_path.empty()) {
    std::string text;
    std::string error;
    if (!tessavirn_host::ReadConfigFile(args.config_path, text, error)) {
      std::fprintf(stderr, "tessavirn: --config: %s\n", error.c_str());
      return false;
    }
    if (!tessavirn_host::ApplyConfigText(text, given, device, error)) {
      std::fprintf(stderr, "tessavirn: --config %s: %s\n", args.config_path.c_str(), error.c_str());
      return false;
    }
  }
  ApplyPasswordFromEnvironment(args.password, device.password);
  if (device.address.empty()) {
    std::fprintf(stderr, "tessavirn: --address is required (or address= in the --config file)\n");
    return false;
  }
  return true;
}

// The cameras and channels of a recording into its options; false (after saying why) for both
// --channel and --channels or a malformed channel list. The address of the --config file stands
// when the command line gives none.
bool ApplyRecordTargets(const RecordTargets& targets, const CLI::Option* channel_option, std::uint32_t channel,
                        tessavirn_host::RecordOptions& options) {
  if (channel_option->count() > 0 && targets.channels_option->count() > 0) {
    std::fprintf(stderr, "tessavirn: give --channel or --channels, not both\n");
    return false;
  }
  options.channels = {channel};
  if (targets.channels_option->count() > 0 && !ApplyChannelList(targets.channels, options.channels, options.device)) {
    return false;
  }
  options.addresses = targets.addresses.empty() ? std::vector<std::string>{options.device.address} : targets.addresses;
  return true;
}

// Set by SIGINT and SIGTERM; the recording and watching loops poll it. The handler resets
// itself, so a second signal ends the program at once. It also writes a byte to g_stop_pipe, so
// that a command waiting on the pipe's read end wakes at once, whichever thread took the signal.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);
int g_stop_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const int saved_errno = errno;
  g_stop.store(true);
  if (g_stop_pipe[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_stop_pipe[1], &byte, 1);
  }
  errno = saved_errno;
}

// The read end of the stop pipe, or -1 when it could not be made (the waits then sleep their
// whole slice).
int StopDescriptor() {
  if (g_stop_pipe[0] < 0 && ::pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_stop_pipe[0] = g_stop_pipe[1] = -1;
  return g_stop_pipe[0];
}

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tessavirn: reference host for the Tessavirn capture driver"};
  app.require_subcommand(1);

  tessavirn_host::OpenOptions open_options;
  DeviceArguments open_args;
  CLI::App* open = app.add_subcommand("open", "Load the driver, open it for a camera, print its log, close it");
  AddDeviceOptions(*open, open_options.device, open_args, open_options.driver_path);

  tessavirn_host::RecordOptions record_options;
  DeviceArguments record_args;
  PictureArguments record_picture;
  CLI::App* record = app.add_subcommand(
      "record",
      "Open the driver for a camera, start a channel and write the frames it delivers to a file, with a "
      "progress line each second and a summary at the end; --channels and a repeated --address record several "
      "channels and cameras at once, a file each. Custom parameters 1, 2, 6 and 8 default to "
      "5000, 0, 0 and 0. Exit status: 0 every channel recorded frames, 1 open refused, a channel not started or "
      "without frames (named on stderr), 2 bad arguments, 3 driver not loadable");
  RecordTargets record_targets;
  std::uint32_t record_channel = 0;
  AddDeviceOptions(*record, record_options.device, record_args, record_options.driver_path, &record_targets);
  CLI::Option* channel_option =
      record->add_option("--channel", record_channel, "Video channel to record, from 0")->capture_default_str();
  AddPictureOptions(*record, record_picture);
  record->add_option("--out", record_options.out_path,
                     "Output file (default record.h264 for h264: H.264 Annex B; record.mjpeg for mjpeg: the JPEG "
                     "pictures one after another; record.m4v for mpeg4: elementary stream). Frames are written as "
                     "they arrive, except that the access unit delimiter closing the last H.264 frame is left out: "
                     "it would begin an empty access unit. Motion-JPEG over HTTP instead of RTSP: --param 6=1. Several "
                     "channels: one file each, named as --channels says");
  record->add_option("--seconds", record_options.seconds, "Seconds to record; 0 records until Ctrl-C or SIGTERM")
      ->capture_default_str();
  record->add_option("--frame-log", record_options.frame_log_path,
                     "Write a line per frame as it arrives: index callback_time_ns length type key timestamp_ms width height "
                     "(callback time in ns since the epoch; timestamp_ms from the frame's time stamp, - if none); "
                     "one log per channel when there are several, named as --channels says");
  record->add_option("--jpeg-dir", record_options.jpeg_dir,
                     "With --stream mjpeg: write each picture to a numbered file DIR/000001.jpg, ... instead of "
                     "the output file (DIR is created)");
  record->add_flag("--quiet", record_options.quiet, "No progress line");

  tessavirn_host::ProbeOptions probe_options;
  CLI::App* probe = app.add_subcommand(
      "probe",
      "Ask a camera what it can do through the driver's capability query and print it: model, capabilities, "
      "resolutions, frame intervals, connection fields (the password as ***) and the proposed custom parameters. "
      "When the query fails, says what the host itself can reach of the camera. Exit status: 0 completed, 1 failed, "
      "no answer in time or settings not saved, 2 bad arguments, 3 driver not loadable");
  probe->add_option("--driver", probe_options.driver_path, "Path of libtessavirn.so (default: beside this program)");
  probe->add_option("--address", probe_options.address, "Camera host name or IP address")->required();
  probe->add_option("--port", probe_options.port, "Camera HTTP port")->capture_default_str();
  probe->add_option("--user", probe_options.user, "User name for the camera");
  CLI::Option* probe_password = probe->add_option(
      "--password", probe_options.password, "Password for the camera (default: the TESSAVIRN_PASSWORD environment variable)");
  probe->add_flag("--ntsc", probe_options.ntsc, "Propose NTSC settings (default PAL)");
  probe->add_option("--save", probe_options.save_path,
                    "After a completed query, write the camera's settings to FILE for --config (key=value lines, "
                    "mode 0600, never the password)");
  probe->add_option("--timeout-seconds", probe_options.timeout_seconds,
                    "Seconds to wait for the query's outcome before ending it")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();

  CLI::App* io = app.add_subcommand("io", "Digital inputs and relay outputs of a camera through the driver");
  io->require_subcommand(1);
  const char* io_modes =
      " Custom parameters 1, 2, 6 and 8 default to 5000, 0, 0 and 0; 11 is the first source input, 12 the input "
      "mode (1, 2 or 3; else nothing is polled), 13 the output mode (1 or 2; else output changes do nothing); "
      "the gaps below the highest given one are sent empty.";

  tessavirn_host::IoWatchOptions watch_options;
  DeviceArguments watch_args;
  CLI::App* watch = io->add_subcommand(
      "watch", std::string("Open the driver, start its digital I/O and print each input change and I/O failure as it "
                           "happens (local time), with the driver's log. Starting writes every output off.") +
                   io_modes + " Exit status: 0 normal end, 1 open refused or I/O not started, 2 bad arguments, "
                              "3 driver not loadable");
  AddDeviceOptions(*watch, watch_options.device, watch_args, watch_options.driver_path);
  watch->add_option("--seconds", watch_options.seconds, "Seconds to watch; 0 watches until Ctrl-C or SIGTERM")
      ->capture_default_str();

  tessavirn_host::IoSetOptions set_options;
  DeviceArguments set_args;
  std::string set_state;
  CLI::App* set = io->add_subcommand(
      "set", std::string("Switch one relay output and say how the camera answered. Starting the driver's digital "
                         "I/O first writes every output off, so OUTPUT off is that write and OUTPUT on a change "
                         "after it; other outputs end up off too. Needs --outputs above OUTPUT and --param 13=1 or "
                         "2. Waits twice the network timeout (--param 1) plus 1 s for the driver's word.") +
                 io_modes + " Exit status: 0 the camera answered 200, 1 refused, no answer or open refused, "
                            "2 bad arguments, 3 driver not loadable");
  AddDeviceOptions(*set, set_options.device, set_args, set_options.driver_path);
  set->add_option("OUTPUT", set_options.output, "Relay output, from 0")->required();
  set->add_option("STATE", set_state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));

  tessavirn_host::PtzOptions ptz_options;
  DeviceArguments ptz_args;
  CLI::App* ptz = app.add_subcommand(
      "ptz",
      "Pan, tilt, zoom, focus, iris and presets of a PTZ channel through the driver. Needs --param 8=N (PTZ "
      "channels, from 1), --param 9=FILE (the preset file, kept beside this program) and --param 10=CAPS (the "
      "capability text); 1, 2 and 6 default to 5000, 0 and 0, and the gaps below the highest given parameter are "
      "sent empty. Prints the status of each call in words and the driver's log. Motions are queued in the "
      "driver: the driver stays open --hold ms afterwards so that they are sent, and the head keeps moving until "
      "stopped, which only the same run can do (--stop-after). Exit status: 0 done, 1 a status other than 1, a "
      "failure reported for a queued command, open refused, no PTZ object or no control for the channel, 2 bad "
      "arguments, 3 driver not loadable");
  AddDeviceOptions(*ptz, ptz_options.device, ptz_args, ptz_options.driver_path);
  ptz->add_option("--channel", ptz_options.channel, "PTZ channel, from 0")->capture_default_str();
  ptz->add_option("--hold", ptz_options.hold_ms,
                  "Milliseconds the driver stays open after a motion or stop, so that it sends the command; a "
                  "failure the driver reports for it ends the wait early")
      ->check(CLI::Range(0, 60000))
      ->capture_default_str();
  ptz->add_option("--stop-after", ptz_options.stop_after_ms,
                  "After a motion, call Stop this many milliseconds later (0: leave the head moving)")
      ->check(CLI::Range(0, 600000))
      ->capture_default_str();
  ptz->require_subcommand(1);
  tessavirn_host::PtzCommand& ptz_command = ptz_options.command;
  // Each command records its kind when it was given; device options may also follow it.
  const auto ptz_leaf = [&ptz_command](CLI::App& parent, const char* name, const char* help,
                                       tessavirn_host::PtzCommand::Kind kind) {
    CLI::App* leaf = parent.add_subcommand(name, help);
    leaf->fallthrough();
    leaf->callback([&ptz_command, kind] { ptz_command.kind = kind; });
    return leaf;
  };
  using Ptz = tessavirn_host::PtzCommand;
  const char* speed_help = "Speed, a decimal integer; the driver clamps it to 1 (slowest) to 16 (fastest)";
  CLI::App* move = ptz_leaf(*ptz, "move", "Start moving the head (StartMove)", Ptz::kMove);
  move->add_option("DIRECTION", ptz_command.word, "left, right, up, down, upleft, upright, downleft, downright")
      ->required();
  move->add_option("SPEED", ptz_command.speed, speed_help)->required();
  CLI::App* zoom = ptz_leaf(*ptz, "zoom", "Start zooming (in: StartZoomPlus, out: StartZoomMinus)", Ptz::kZoom);
  zoom->add_option("DIRECTION", ptz_command.word, "in or out")->required();
  zoom->add_option("SPEED", ptz_command.speed, speed_help)->required();
  CLI::App* focus =
      ptz_leaf(*ptz, "focus", "Start focusing (near: StartFocusMinus, far: StartFocusPlus)", Ptz::kFocus);
  focus->add_option("DIRECTION", ptz_command.word, "near or far")->required();
  focus->add_option("SPEED", ptz_command.speed, speed_help)->required();
  CLI::App* iris = ptz_leaf(*ptz, "iris", "Start the iris (open: StartIrisPlus, close: StartIrisMinus)", Ptz::kIris);
  iris->add_option("DIRECTION", ptz_command.word, "open or close")->required();
  iris->add_option("SPEED", ptz_command.speed, speed_help)->required();
  ptz_leaf(*ptz, "stop", "Stop what this run started (Stop); a run of its own has nothing to stop", Ptz::kStop);
  ptz_leaf(*ptz, "caps", "Print the capability record (GetCapabilities) and IsPTZEnabled", Ptz::kCaps);
  CLI::App* preset = ptz->add_subcommand("preset", "Named presets, kept in the preset file between runs");
  preset->require_subcommand(1);
  preset->fallthrough();
  ptz_leaf(*preset, "add", "Store the present position under NAME (AddPreset)", Ptz::kPresetAdd)
      ->add_option("NAME", ptz_command.name, "Preset name")
      ->required();
  ptz_leaf(*preset, "go", "Recall a preset (GoToPreset)", Ptz::kPresetGo)
      ->add_option("NAME", ptz_command.name, "Preset name")
      ->required();
  CLI::App* rename = ptz_leaf(*preset, "rename",
                              "Rename a preset: recall OLD (GoToPreset), then AddPreset(NEW), which renames the "
                              "preset the camera stands at",
                              Ptz::kPresetRename);
  rename->add_option("OLD", ptz_command.name, "Preset name now")->required();
  rename->add_option("NEW", ptz_command.new_name, "New name")->required();
  ptz_leaf(*preset, "delete", "Forget a preset (DeletePreset)", Ptz::kPresetDelete)
      ->add_option("NAME", ptz_command.name, "Preset name")
      ->required();
  ptz_leaf(*preset, "list", "Print POSITION<TAB>SLOT<TAB>NAME for each preset, SLOT the camera slot it is stored in",
           Ptz::kPresetList);

  tessavirn_host::ViewOptions view_options;
  DeviceArguments view_args;
  RecordTargets view_targets;
  view_targets.several_addresses = false;
  PictureArguments view_picture;
  CLI::App* view = app.add_subcommand(
      "view",
      "Open the driver for a camera as a recorder does and serve a page on which a browser shows every channel "
      "live, drives the PTZ head and its presets, lights a lamp per alarm input and switches the relay outputs, "
      "with the channels' state and the driver's log; the page's JSON API is under /api/. PTZ needs --param 8, 9 "
      "and 10 as for ptz; I/O needs --inputs or --outputs and --param 12 and 13 as for io. H.264 and MPEG-4 "
      "frames are decoded only while someone watches. Ctrl-C or SIGTERM stops it. Exit status: 0 stopped, 1 open "
      "refused or cannot listen, 2 bad arguments, 3 driver not loadable");
  AddDeviceOptions(*view, view_options.device, view_args, view_options.driver_path, &view_targets);
  AddPictureOptions(*view, view_picture);
  view->add_option("--listen", view_options.listen,
                   "HOST:PORT the page is served on (PORT 0: one the system picks); an address other than loopback "
                   "needs --web-password-file")
      ->capture_default_str();
  view->add_option("--web-password-file", view_options.web_password_file,
                   "File whose first line is the page's password: every path then asks for it (HTTP Basic, any "
                   "user name)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help is a success; every malformed command line is exit status 2.
    return app.exit(e) == 0 ? 0 : 2;
  }

  if (open->parsed()) {
    if (!ApplyDeviceArguments(open_args, open_options.device)) return 2;
    return tessavirn_host::RunOpen(open_options, stdout, stderr);
  }
  if (probe->parsed()) {
    ApplyPasswordFromEnvironment(probe_password, probe_options.password);
    InstallStopHandlers();
    return tessavirn_host::RunProbe(probe_options, stdout, stderr, g_stop);
  }
  if (record->parsed()) {
    if (!record_targets.addresses.empty()) record_options.device.address = record_targets.addresses.front();
    if (!ApplyDeviceArguments(record_args, record_options.device)) return 2;
    if (!ApplyRecordTargets(record_targets, channel_option, record_channel, record_options)) return 2;
    if (!ApplyPictureSize(record_picture, record_options.width, record_options.height)) return 2;
    record_options.interval_ms = record_picture.interval_ms;
    record_options.quality = record_picture.quality;
    // The pipe exists before the handler that writes to it.
    const int stop_fd = StopDescriptor();
    InstallStopHandlers();
    return tessavirn_host::RunRecord(record_options, stdout, stderr, g_stop, stop_fd);
  }
  if (view->parsed()) {
    if (!ApplyDeviceArguments(view_args, view_options.device)) return 2;
    if (view_targets.channels_option->count() > 0 &&
        !ApplyChannelList(view_targets.channels, view_options.channels, view_options.device)) {
      return 2;
    }
    if (!ApplyPictureSize(view_picture, view_options.width, view_options.height)) return 2;
    view_options.interval_ms = view_picture.interval_ms;
    view_options.quality = view_picture.quality;
    const int stop_fd = StopDescriptor();
    InstallStopHandlers();
    return tessavirn_host::RunView(view_options, stdout, stderr, g_stop, stop_fd);
  }
  if (watch->parsed()) {
    if (!ApplyDeviceArguments(watch_args, watch_options.device)) return 2;
    InstallStopHandlers();
    return tessavirn_host::RunIoWatch(watch_options, stdout, stderr, g_stop);
  }
  if (set->parsed()) {
    if (!ApplyDeviceArguments(set_args, set_options.device)) return 2;
    set_options.on = set_state == "on";
    return tessavirn_host::RunIoSet(set_options, stdout, stderr);
  }
  if (ptz->parsed()) {
    if (!ApplyDeviceArguments(ptz_args, ptz_options.device)) return 2;
    return tessavirn_host::RunPtz(ptz_options, stdout, stderr);
  }
  return 2;
}
