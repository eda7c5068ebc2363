#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "capability_results.h"
#include "device_config.h"

namespace tessavirn_host {

// The camera settings file that probe --save writes and --config reads: one key=value line each
// (address, port, user, stream, channels, inputs, outputs, model, param.N); blank lines and lines
// starting with # are skipped. It never holds a password.
inline constexpr std::size_t kConfigFileCap = 64 * 1024;

// The whole file into text; false with error when it cannot be read or exceeds kConfigFileCap.
bool ReadConfigFile(const std::string& path, std::string& text, std::string& error);

// Fills config from the file's text, except the keys in keep (those the command line gave, as
// "port" or "param.3"), which stay as they are. False with error naming the line for a malformed
// line, an unknown or repeated key or a bad value; config is then partly filled.
bool ApplyConfigText(const std::string& text, const std::set<std::string>& keep, DeviceConfig& config,
                     std::string& error);

// What the probe asked the driver for, used where the driver published nothing else.
struct ProbedCamera {
  std::string address;
  std::uint16_t port = 80;
  std::string user;
};

// The settings file of a completed query. The stream is the best published codec: H.264, then
// MPEG-4, then Motion-JPEG. False with error when a published value holds a line break, which the
// file cannot carry.
bool FormatSettingsFile(const CapabilityReport& report, const ProbedCamera& asked, std::string& text,
                        std::string& error);

// Writes text beside path, readable by the owner only, then renames it over path, so that a
// reader sees the old file or the new one and never a part.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace tessavirn_host
