#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "device_config.h"

namespace tessavirn_host {

// One PTZ command of the command line, as typed; RunPtz checks the words and the speed.
struct PtzCommand {
  enum Kind {
    kMove, kZoom, kFocus, kIris, kStop,
    kPresetAdd, kPresetGo, kPresetRename, kPresetDelete, kPresetList,
    kCaps,
  };
  Kind kind = kStop;
  std::string word;   // move: left ... downright; zoom: in|out; focus: near|far; iris: open|close
  std::string speed;  // motions: a decimal integer, handed to the driver as it is (it clamps to 1..16)
  std::string name;   // presets: the name; rename: the old name
  std::string new_name;
};

struct PtzOptions {
  std::string driver_path;  // empty: DefaultDriverPath()
  DeviceConfig device;
  std::uint32_t channel = 0;  // PTZ channel, from 0
  // After a motion or stop: how long the driver stays open so that its command thread sends the
  // queued command (closing the driver drops what is still queued).
  std::uint32_t hold_ms = 500;
  // After a motion: 0 leaves the head moving; else the control's Stop this long after the
  // motion, in the same run. A later run cannot stop it: the control stops only the motions it
  // started itself.
  std::uint32_t stop_after_ms = 0;
  PtzCommand command;
};

// Opens the driver for the camera, takes the control of the PTZ channel and runs the command,
// printing each call's status in words ("StartMove(0, 16): status 1 (done)") and the driver's
// log. Custom parameter 8 must be at least 1, 9 (the preset file, beside this program) and 10
// (the capability text) must be given. `preset list` prints "POSITION<TAB>SLOT<TAB>NAME" lines,
// SLOT being the camera slot the preset is stored in: its key, read from the preset file, mapped
// as the driver maps it ("?" when the file does not hold that
// entry). Returns the process exit code: 0 done, 1 a status other than 1, a failure the driver
// reported for a queued command, open refused, no PTZ object or no control for the channel,
// 2 bad arguments, 3 the driver could not be loaded.
int RunPtz(const PtzOptions& options, std::FILE* out, std::FILE* err);

}  // namespace tessavirn_host
