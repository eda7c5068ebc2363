#include "device_config.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tessavirn_host {
namespace {

struct RequiredParameter {
  std::uint32_t index;
  const char* name;
};

constexpr RequiredParameter kRequired[] = {
    {1, "Network timeout"},
    {2, "Video standard"},
    {6, "Use MJPEG video receiving via HTTP"},
    {8, "Number of Supported PTZ Channels"},
};

// Optional sign, then digits only, within 32 bits.
bool IsDecimalInteger(const std::string& text) {
  size_t start = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (start == text.size()) return false;
  for (size_t i = start; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  return errno == 0 && value >= INT_MIN && value <= INT_MAX;
}

}  // namespace

std::optional<std::int32_t> ParseStreamType(const std::string& text) {
  if (text == "mjpeg") return 1;
  if (text == "mpeg4") return 2;
  if (text == "h264") return 3;
  if (IsDecimalInteger(text)) return static_cast<std::int32_t>(std::strtol(text.c_str(), nullptr, 10));
  return std::nullopt;
}

bool AddCustomParameter(DeviceConfig& config, const std::string& assignment) {
  const auto eq = assignment.find('=');
  if (eq == 0 || eq == std::string::npos) return false;
  const std::string number = assignment.substr(0, eq);
  for (char c : number) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  const unsigned long index = std::strtoul(number.c_str(), nullptr, 10);
  if (index == 0 || index > 1000) return false;
  config.custom_parameters[static_cast<std::uint32_t>(index)] = assignment.substr(eq + 1);
  return true;
}

std::vector<std::string> DescribeRequiredParameterProblems(const DeviceConfig& config) {
  std::vector<std::string> problems;
  for (const auto& p : kRequired) {
    const std::string label = "custom parameter " + std::to_string(p.index) + " (\"" + p.name + "\")";
    const auto it = config.custom_parameters.find(p.index);
    if (it == config.custom_parameters.end()) {
      problems.push_back(label + " is missing");
    } else if (!IsDecimalInteger(it->second)) {
      problems.push_back(label + " is not a number: \"" + it->second + "\"");
    } else if (p.index == 8 && std::strtol(it->second.c_str(), nullptr, 10) < 0) {
      problems.push_back(label + " must not be negative: \"" + it->second + "\"");
    }
  }
  return problems;
}

std::string DescribeUnreadParameters(const DeviceConfig& config) {
  std::uint32_t gap = 1;
  while (config.custom_parameters.count(gap) != 0) ++gap;
  std::string beyond;
  for (const auto& [index, text] : config.custom_parameters) {
    // Open asks the host for the required ones directly, gap or not.
    const bool required = index == 1 || index == 2 || index == 6 || index == 8;
    if (index > gap && !required) beyond += (beyond.empty() ? "" : ", ") + std::to_string(index);
  }
  if (beyond.empty()) return {};
  return "custom parameters " + beyond + " come after missing parameter " + std::to_string(gap) +
         " and are not read by the driver";
}

const char* DeviceSettings::GetCustomParameter(std::uint32_t index) {
  const auto it = config_.custom_parameters.find(index);
  return it == config_.custom_parameters.end() ? nullptr : it->second.c_str();
}

}  // namespace tessavirn_host
