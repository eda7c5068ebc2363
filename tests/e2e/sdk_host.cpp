// A minimal recorder host built only against the installed headers: loads the driver, opens it
// for one camera and prints what the driver logged.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include <host/tessavirn.h>

namespace {

using namespace kalmora::ipcapture;

class Sink : public IDebugMessageSink {
 public:
  void ReceiveDebugInfo(CDebugInfoIf* info) override {
    std::printf("level %u: %s\n", static_cast<unsigned>(info->GetLevel()), info->GetText() ? info->GetText() : "");
  }
};

class Frames : public ICaptureFrameFactory {
 public:
  ICaptureFrame* AllocateFrame(std::uint32_t, std::uint32_t, const char*) override { return nullptr; }
  void ReleaseFrame(ICaptureFrame*) override {}
};

class Settings : public IIPDeviceSettings, public IIPDeviceInfo, public IIPConnectionSettings {
 public:
  IIPDeviceInfo* GetDeviceInfo() override { return this; }
  IIPConnectionSettings* GetConnectionSettings() override { return this; }
  const char* GetCustomParameter(std::uint32_t index) override {
    switch (index) {
      case 1: return "5000";
      case 2: return "0";
      case 3: return "ZD-220";
      case 4: return "500";
      case 5: return "8000";
      case 6: return "0";
      case 7: return "1";
      case 8: return "0";
      default: return nullptr;
    }
  }
  const char* GetDeviceModel() override { return "SDK host camera"; }
  std::int32_t GetVideoChannelCount() override { return 1; }
  std::int32_t GetDigitalInputCount() override { return 0; }
  std::int32_t GetDigitalOutputCount() override { return 0; }
  const char* GetAddress() override { return "127.0.0.9"; }
  std::uint16_t GetPort() override { return 80; }
  std::int32_t GetStreamType() override { return kStreamH264; }
  const char* GetUserName() override { return ""; }
  const char* GetPassword() override { return ""; }
  void Reserved2() override {}
  void Reserved4() override {}
  void Reserved5() override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::printf("dlopen failed: %s\n", dlerror());
    return 1;
  }
  auto create = reinterpret_cast<CreateIPCaptureEx3Fn>(dlsym(library, "CreateIPCaptureEx3"));
  auto destroy = reinterpret_cast<DeleteIPCaptureEx3Fn>(dlsym(library, "DeleteIPCaptureEx3"));
  if (create == nullptr || destroy == nullptr) return 1;
  Sink sink;
  Frames frames;
  Settings settings;
  IIPCaptureDriverEx3* driver = create();
  const bool opened = driver->Open(&sink, &frames, &settings);
  std::printf("open %s, video capture %s\n", opened ? "succeeded" : "failed",
              driver->GetVideoCaptureEx() != nullptr ? "present" : "absent");
  destroy(driver);
  dlclose(library);
  return opened ? 0 : 1;
}
