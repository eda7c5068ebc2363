// tessavirn: the reference host. Loads the capture driver as a recorder does and drives it.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "open_command.h"

namespace {

void AddDeviceOptions(CLI::App& command, tessavirn_host::DeviceConfig& device, std::string& stream,
                      std::vector<std::string>& params, std::string& driver_path) {
  command.add_option("--driver", driver_path, "Path of libtessavirn.so (default: beside this program)");
  command.add_option("--address", device.address, "Camera host name or IP address")->required();
  command.add_option("--port", device.port, "Camera HTTP port")->capture_default_str();
  command.add_option("--user", device.user, "User name for the camera");
  command.add_option("--password", device.password, "Password for the camera");
  command.add_option("--stream", stream, "Stream type: h264, mjpeg, mpeg4 (or its number)")->capture_default_str();
  command.add_option("--model", device.model, "Device model as the recorder knows it")->capture_default_str();
  command.add_option("--channels", device.video_channels, "Number of video channels")->capture_default_str();
  command.add_option("--inputs", device.digital_inputs, "Number of digital inputs")->capture_default_str();
  command.add_option("--outputs", device.digital_outputs, "Number of digital outputs")->capture_default_str();
  command.add_option("--param", params,
                     "Custom parameter N=TEXT (repeatable). Required by the driver: 1 network timeout in ms, "
                     "2 video standard (0 PAL, 1 NTSC), 6 MJPEG over HTTP (1) or RTSP (0), 8 number of PTZ channels");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tessavirn: reference host for the Tessavirn capture driver"};
  app.require_subcommand(1);

  tessavirn_host::OpenOptions open_options;
  std::string stream = "h264";
  std::vector<std::string> params;
  CLI::App* open = app.add_subcommand("open", "Load the driver, open it for a camera, print its log, close it");
  AddDeviceOptions(*open, open_options.device, stream, params, open_options.driver_path);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  if (open->parsed()) {
    const auto type = tessavirn_host::ParseStreamType(stream);
    if (!type) {
      std::fprintf(stderr, "tessavirn: --stream must be h264, mjpeg, mpeg4 or a number, not \"%s\"\n", stream.c_str());
      return 2;
    }
    open_options.device.stream_type = *type;
    for (const auto& p : params) {
      if (!tessavirn_host::AddCustomParameter(open_options.device, p)) {
        std::fprintf(stderr, "tessavirn: --param takes N=TEXT with N from 1, not \"%s\"\n", p.c_str());
        return 2;
      }
    }
    return tessavirn_host::RunOpen(open_options, stdout, stderr);
  }
  return 2;
}
