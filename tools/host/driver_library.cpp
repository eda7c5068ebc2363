#include "driver_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <type_traits>

namespace tessavirn_host {
namespace {

constexpr const char* kRequiredExports[] = {
    "CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx2", "CreateIPCaptureEx3",
    "DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx2", "DeleteIPCaptureEx3",
};

}  // namespace

DriverLibrary::~DriverLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

bool DriverLibrary::Load(const std::string& path) {
  if (handle_ != nullptr) {
    error_ = "a driver library is already loaded";
    return false;
  }
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    error_ = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
    return false;
  }
  for (const char* name : kRequiredExports) {
    if (::dlsym(handle_, name) == nullptr) {
      error_ = path + " does not export " + name;
      ::dlclose(handle_);
      handle_ = nullptr;
      return false;
    }
  }
  path_ = path;
  return true;
}

void* DriverLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

kalmora::ipcapture::IIPCaptureDriverEx3* DriverLibrary::Create() const {
  void* symbol = Symbol("CreateIPCaptureEx3");
  return symbol != nullptr ? reinterpret_cast<kalmora::ipcapture::IIPCaptureDriverEx3* (*)()>(symbol)() : nullptr;
}

// Each export is called through a pointer of its own declared type.
template <typename Driver>
kalmora::ipcapture::IIPCaptureDriver* CallCreate(void* symbol) {
  return symbol != nullptr ? reinterpret_cast<Driver* (*)()>(symbol)() : nullptr;
}

template <typename Driver>
void CallDelete(void* symbol, kalmora::ipcapture::IIPCaptureDriver* driver) {
  if (symbol != nullptr) reinterpret_cast<void (*)(Driver*)>(symbol)(static_cast<Driver*>(driver));
}

kalmora::ipcapture::IIPCaptureDriver* DriverLibrary::CreateNamed(const char* export_name) const {
  using namespace kalmora::ipcapture;
  const std::string name = export_name != nullptr ? export_name : "";
  void* symbol = Symbol(name.c_str());
  if (name == "CreateIPCapture") return CallCreate<IIPCaptureDriver>(symbol);
  if (name == "CreateIPCaptureEx") return CallCreate<IIPCaptureDriverEx>(symbol);
  if (name == "CreateIPCaptureEx2") return CallCreate<IIPCaptureDriverEx2>(symbol);
  if (name == "CreateIPCaptureEx3") return CallCreate<IIPCaptureDriverEx3>(symbol);
  return nullptr;
}

void DriverLibrary::Delete(kalmora::ipcapture::IIPCaptureDriver* driver) const {
  DeleteNamed("DeleteIPCaptureEx3", driver);
}

void DriverLibrary::DeleteNamed(const char* export_name, kalmora::ipcapture::IIPCaptureDriver* driver) const {
  using namespace kalmora::ipcapture;
  const std::string name = export_name != nullptr ? export_name : "";
  void* symbol = Symbol(name.c_str());
  if (name == "DeleteIPCapture") CallDelete<IIPCaptureDriver>(symbol, driver);
  if (name == "DeleteIPCaptureEx") CallDelete<IIPCaptureDriverEx>(symbol, driver);
  if (name == "DeleteIPCaptureEx2") CallDelete<IIPCaptureDriverEx2>(symbol, driver);
  if (name == "DeleteIPCaptureEx3") CallDelete<IIPCaptureDriverEx3>(symbol, driver);
}

bool DriverLibrary::ResolveCapabilityQuery(CapabilityQueryExports& exports) {
  const auto resolve = [this](const char* name, auto& function) {
    void* symbol = Symbol(name);
    if (symbol == nullptr) {
      error_ = path_ + " does not export " + name;
      return false;
    }
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(symbol);
    return true;
  };
  if (handle_ == nullptr) {
    error_ = "no driver library is loaded";
    return false;
  }
  return resolve("InitCapabilityQuery", exports.init) && resolve("StartCapabilityQuery", exports.start) &&
         resolve("TerminateCapabilityQuery", exports.terminate) && resolve("UninitCapabilityQuery", exports.uninit);
}

std::string DefaultDriverPath() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "libtessavirn.so";
  const auto dir = exe.parent_path();
  for (const auto& candidate : {dir / "libtessavirn.so", dir.parent_path() / "lib" / "libtessavirn.so"}) {
    if (std::filesystem::exists(candidate, ec)) return candidate.string();
  }
  // Leave it to the loader's search path.
  return "libtessavirn.so";
}

}  // namespace tessavirn_host
