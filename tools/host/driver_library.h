#pragma once

#include <string>

#include "host/capability_query.h"
#include "host/capture_driver.h"

namespace tessavirn_host {

// The four capability query exports, resolved by name.
struct CapabilityQueryExports {
  InitCapabilityQueryFn init = nullptr;
  StartCapabilityQueryFn start = nullptr;
  TerminateCapabilityQueryFn terminate = nullptr;
  UninitCapabilityQueryFn uninit = nullptr;
};

// The driver library loaded with dlopen, as a recorder loads its capture plug-ins, with its
// factory exports resolved by name.
class DriverLibrary {
 public:
  DriverLibrary() = default;
  ~DriverLibrary();
  DriverLibrary(const DriverLibrary&) = delete;
  DriverLibrary& operator=(const DriverLibrary&) = delete;

  // False with error() set when the file cannot be loaded or lacks an export.
  bool Load(const std::string& path);
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

  // The newest interface generation; the other create names give the same kind of object.
  kalmora::ipcapture::IIPCaptureDriverEx3* Create() const;
  // Creates through the export of that name ("CreateIPCapture", "CreateIPCaptureEx", ...).
  kalmora::ipcapture::IIPCaptureDriver* CreateNamed(const char* export_name) const;
  void Delete(kalmora::ipcapture::IIPCaptureDriver* driver) const;
  // Deletes through the export of that name ("DeleteIPCapture", ...).
  void DeleteNamed(const char* export_name, kalmora::ipcapture::IIPCaptureDriver* driver) const;

  // The capability query exports of the loaded library. Separate from Load, which the capture
  // commands use with drivers that have no query; false with error() naming the first missing one.
  bool ResolveCapabilityQuery(CapabilityQueryExports& exports);

 private:
  void* Symbol(const char* name) const;

  void* handle_ = nullptr;
  std::string path_;
  std::string error_;
};

// Where the driver is looked for when no path is given: beside the running program, then in the
// lib folder next to its bin folder.
std::string DefaultDriverPath();

}  // namespace tessavirn_host
