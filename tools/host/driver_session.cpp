#include "driver_session.h"

namespace tessavirn_host {

DriverSession::DriverSession(std::FILE* out, std::FILE* err, std::FILE* log_echo)
    : out_(out), err_(err), sink_(log_echo) {}

DriverSession::~DriverSession() { Close(); }

int DriverSession::Open(const std::string& driver_path, const DeviceConfig& device) {
  if (driver_ != nullptr || settings_) {
    std::fprintf(err_, "tessavirn: the driver session is already in use\n");
    return 3;
  }
  const std::string path = driver_path.empty() ? DefaultDriverPath() : driver_path;
  if (!library_.Load(path)) {
    std::fprintf(err_, "tessavirn: %s\n", library_.error().c_str());
    return 3;
  }
  std::fprintf(out_, "driver: %s\n", library_.path().c_str());
  device_ = device;
  const std::string unread = DescribeUnreadParameters(device_);
  if (!unread.empty()) {
    std::fflush(out_);
    std::fprintf(err_, "tessavirn: warning: %s\n", unread.c_str());
  }

  driver_ = library_.Create();
  if (driver_ == nullptr) {
    std::fprintf(err_, "tessavirn: the driver could not create a driver object\n");
    return 3;
  }
  settings_.emplace(device_);
  std::fprintf(out_, "opening %s:%u (stream type %d, model \"%s\")\n", device_.address.c_str(),
               static_cast<unsigned>(device_.port), device_.stream_type, device_.model.c_str());
  std::fflush(out_);
  opened_ = driver_->Open(&sink_, &frames_, &*settings_);
  if (opened_) return 0;
  std::fflush(out_);
  std::fprintf(err_, "tessavirn: the driver refused to open\n");
  for (const auto& problem : DescribeRequiredParameterProblems(device_)) {
    std::fprintf(err_, "tessavirn: %s\n", problem.c_str());
  }
  return 1;
}

void DriverSession::Close() {
  if (driver_ == nullptr) return;
  driver_->Close();
  library_.Delete(driver_);
  driver_ = nullptr;
  opened_ = false;
}

}  // namespace tessavirn_host
