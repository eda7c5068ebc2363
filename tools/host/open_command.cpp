#include "open_command.h"

#include "debug_sink.h"
#include "driver_library.h"
#include "frame_factory.h"

namespace tessavirn_host {

int RunOpen(const OpenOptions& options, std::FILE* out, std::FILE* err) {
  DriverLibrary library;
  const std::string path = options.driver_path.empty() ? DefaultDriverPath() : options.driver_path;
  if (!library.Load(path)) {
    std::fprintf(err, "tessavirn: %s\n", library.error().c_str());
    return 3;
  }
  std::fprintf(out, "driver: %s\n", library.path().c_str());
  const std::string unread = DescribeUnreadParameters(options.device);
  if (!unread.empty()) {
    std::fflush(out);
    std::fprintf(err, "tessavirn: warning: %s\n", unread.c_str());
  }

  auto* driver = library.Create();
  if (driver == nullptr) {
    std::fprintf(err, "tessavirn: the driver could not create a driver object\n");
    return 3;
  }

  DebugSink sink(out);
  FrameFactory frames;
  DeviceSettings settings(options.device);
  std::fprintf(out, "opening %s:%u (stream type %d, model \"%s\")\n", options.device.address.c_str(),
               static_cast<unsigned>(options.device.port), options.device.stream_type,
               options.device.model.c_str());
  const bool opened = driver->Open(&sink, &frames, &settings);
  int code = 0;
  if (opened) {
    std::fprintf(out, "opened: video capture %s, digital I/O %s, PTZ %s\n",
                 driver->GetVideoCapture() != nullptr ? "yes" : "no",
                 driver->GetCaptureIOApi() != nullptr ? "yes" : "no",
                 driver->GetPTZDriver() != nullptr ? "yes" : "no");
  } else {
    std::fflush(out);
    std::fprintf(err, "tessavirn: the driver refused to open\n");
    for (const auto& problem : DescribeRequiredParameterProblems(options.device)) {
      std::fprintf(err, "tessavirn: %s\n", problem.c_str());
    }
    code = 1;
  }
  driver->Close();
  library.Delete(driver);
  std::fprintf(out, "closed\n");
  return code;
}

}  // namespace tessavirn_host
