#include "config_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "record_options.h"

namespace tessavirn_host {
namespace {

constexpr const char* kKeys[] = {"address", "port", "user", "stream", "channels", "inputs", "outputs", "model"};

bool IsKnownKey(const std::string& key) {
  for (const char* known : kKeys) {
    if (key == known) return true;
  }
  return key.rfind("param.", 0) == 0;
}

std::optional<std::int32_t> ParseCount(const std::string& text) {
  const auto value = ParseDecimal(text);
  if (!value || *value < 0 || *value > 65535) return std::nullopt;
  return static_cast<std::int32_t>(*value);
}

// One key's value into config; an empty result is success, else what is wrong with the value.
std::string ApplyValue(const std::string& key, const std::string& value, DeviceConfig& config) {
  if (key == "address") {
    if (value.empty()) return "the address is empty";
    config.address = value;
  } else if (key == "port") {
    const auto port = ParseDecimal(value);
    if (!port || *port < 1 || *port > 65535) return "port must be from 1 to 65535, not \"" + value + "\"";
    config.port = static_cast<std::uint16_t>(*port);
  } else if (key == "user") {
    config.user = value;
  } else if (key == "stream") {
    const auto type = ParseStreamType(value);
    if (!type) return "stream must be h264, mjpeg, mpeg4 or a number, not \"" + value + "\"";
    config.stream_type = *type;
  } else if (key == "model") {
    config.model = value;
  } else if (key == "channels" || key == "inputs" || key == "outputs") {
    const auto count = ParseCount(value);
    if (!count) return key + " must be a number from 0 to 65535, not \"" + value + "\"";
    (key == "channels" ? config.video_channels : key == "inputs" ? config.digital_inputs : config.digital_outputs) =
        *count;
  } else if (!AddCustomParameter(config, key.substr(6) + "=" + value)) {
    return "\"" + key + "\" must be param.N with N from 1 to 1000";
  }
  return {};
}

bool HasLineBreak(const std::string& text) { return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

}  // namespace

bool ReadConfigFile(const std::string& path, std::string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  text.clear();
  error.clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      break;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kConfigFileCap) {
      error = path + " is larger than " + std::to_string(kConfigFileCap / 1024) + " KiB";
      break;
    }
  }
  ::close(fd);
  return error.empty();
}

bool ApplyConfigText(const std::string& text, const std::set<std::string>& keep, DeviceConfig& config,
                     std::string& error) {
  std::set<std::string> seen;
  std::size_t line_number = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::string where = "line " + std::to_string(line_number) + ": ";
    const auto eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      error = where + "not key=value: \"" + line + "\"";
      return false;
    }
    std::string key = line.substr(0, eq);
    // param.03 and param.3 are one key, as --param 03= and --param 3= are.
    if (key.rfind("param.", 0) == 0 && key.size() > 6 && key[6] != '-') {
      if (const auto index = ParseDecimal(std::string_view(key).substr(6))) key = "param." + std::to_string(*index);
    }
    if (key == "password") {
      error = where + "a password is not kept in the file; give --password or TESSAVIRN_PASSWORD";
      return false;
    }
    if (!IsKnownKey(key)) {
      error = where + "unknown key \"" + key + "\"";
      return false;
    }
    if (!seen.insert(key).second) {
      error = where + "\"" + key + "\" is given a second time";
      return false;
    }
    // The value is checked even when the command line overrides it: a bad file is a bad file.
    DeviceConfig scratch;
    const std::string problem = ApplyValue(key, line.substr(eq + 1), keep.count(key) != 0 ? scratch : config);
    if (!problem.empty()) {
      error = where + problem;
      return false;
    }
  }
  return true;
}

bool FormatSettingsFile(const CapabilityReport& report, const ProbedCamera& asked, std::string& text,
                        std::string& error) {
  const auto published = [&report](std::int32_t index, const std::string& fallback) {
    const auto it = report.connection.find(index);
    return it != report.connection.end() && !it->second.empty() ? it->second : fallback;
  };
  const auto supported = [&report](std::int32_t id) {
    const auto it = report.capabilities.find(id);
    return it != report.capabilities.end() && it->second != 0;
  };
  const auto port = ParseDecimal(published(2, ""));
  std::vector<std::pair<std::string, std::string>> settings = {
      {"address", published(1, asked.address)},
      {"port", std::to_string(port && *port >= 1 && *port <= 65535 ? *port : asked.port)},
      {"user", published(3, asked.user)},
  };
  if (supported(kCapH264)) {
    settings.emplace_back("stream", "h264");
  } else if (supported(kCapMpeg4)) {
    settings.emplace_back("stream", "mpeg4");
  } else if (supported(kCapMjpeg)) {
    settings.emplace_back("stream", "mjpeg");
  }
  const std::pair<const char*, std::int32_t> kCounts[] = {
      {"channels", kCapVideoInputs}, {"inputs", kCapDigitalInputs}, {"outputs", kCapDigitalOutputs}};
  for (const auto& [key, id] : kCounts) {
    const auto it = report.capabilities.find(id);
    if (it != report.capabilities.end()) settings.emplace_back(key, std::to_string(it->second));
  }
  if (!report.model.empty()) settings.emplace_back("model", report.model);
  for (const auto& [index, parameter] : report.parameters) {
    if (index >= 1 && index <= 1000) settings.emplace_back("param." + std::to_string(index), parameter.value);
  }
  std::string lines;
  for (const auto& [key, value] : settings) {
    if (HasLineBreak(value)) {
      error = "the camera's " + key + " holds a line break, which the file cannot keep";
      return false;
    }
    lines += key + "=" + value + "\n";
  }
  text = std::move(lines);
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  std::string temporary = path + ".XXXXXX";
  // mkstemp creates the file with mode 0600.
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    error = "cannot write beside " + path + ": " + std::strerror(errno);
    return false;
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  const bool whole = written == text.size() && ::fsync(fd) == 0;
  const int saved_errno = errno;
  if (::close(fd) != 0 || !whole || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(whole ? errno : saved_errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace tessavirn_host
