#include "open_command.h"

#include "driver_session.h"

namespace tessavirn_host {

int RunOpen(const OpenOptions& options, std::FILE* out, std::FILE* err) {
  DriverSession session(out, err, out);
  const int code = session.Open(options.driver_path, options.device);
  if (code == 3) return code;
  if (auto* driver = session.driver()) {
    std::fprintf(out, "opened: video capture %s, digital I/O %s, PTZ %s\n",
                 driver->GetVideoCapture() != nullptr ? "yes" : "no",
                 driver->GetCaptureIOApi() != nullptr ? "yes" : "no",
                 driver->GetPTZDriver() != nullptr ? "yes" : "no");
  }
  session.Close();
  std::fprintf(out, "closed\n");
  return code;
}

}  // namespace tessavirn_host
