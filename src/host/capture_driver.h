// The driver object and the library's factory exports. Each interface generation extends the
// previous one by appending operations; the object from any create export is all four.
#pragma once

#include <cstdint>

#include "host/debug.h"
#include "host/device_settings.h"
#include "host/frame.h"
#include "host/io.h"
#include "host/ptz.h"
#include "host/video_capture.h"

namespace kalmora::ipcapture {

class IIPCaptureDriver {
 public:
  // Closes the driver, then frees it. Hosts call the delete exports rather than delete.
  virtual ~IIPCaptureDriver() = default;
  // Copies the configuration; starts no thread. False on a missing or malformed required custom
  // parameter (1, 2, 6, 8), or when called a second time on the same driver.
  virtual bool Open(IDebugMessageSink* sink, ICaptureFrameFactory* factory, IIPDeviceSettings* settings) = 0;
  // Deletes the video capture object, the digital I/O object and the PTZ object, in that order.
  virtual void Close() = 0;
  virtual IIPVideoCapture* GetVideoCapture() = 0;
  virtual kalmora::ICaptureIOApi* GetCaptureIOApi() = 0;
};

class IIPCaptureDriverEx : public IIPCaptureDriver {
 public:
  // Reserved accessor; always null.
  virtual void* GetReserved6() = 0;
  // Null when the camera has no PTZ channels.
  virtual kalmora::IIPPTZDriver* GetPTZDriver() = 0;
};

class IIPCaptureDriverEx2 : public IIPCaptureDriverEx {
 public:
  // Reserved accessor; always null.
  virtual void* GetReserved8() = 0;
  virtual IIPVideoCaptureEx* GetVideoCaptureEx() = 0;
};

class IIPCaptureDriverEx3 : public IIPCaptureDriverEx2 {
 public:
  virtual kalmora::IIPPTZDriverEx* GetPTZDriverEx() = 0;
};

}  // namespace kalmora::ipcapture

#define TESSAVIRN_EXPORT extern "C" __attribute__((visibility("default")))

// Every create export returns a new, unopened driver (null only when allocation fails); every
// delete export closes and frees one (null is ignored). The names differ only in the generation
// the host intends to use.
TESSAVIRN_EXPORT kalmora::ipcapture::IIPCaptureDriver* CreateIPCapture();
TESSAVIRN_EXPORT kalmora::ipcapture::IIPCaptureDriverEx* CreateIPCaptureEx();
TESSAVIRN_EXPORT kalmora::ipcapture::IIPCaptureDriverEx2* CreateIPCaptureEx2();
TESSAVIRN_EXPORT kalmora::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx3();
TESSAVIRN_EXPORT void DeleteIPCapture(kalmora::ipcapture::IIPCaptureDriver* driver);
TESSAVIRN_EXPORT void DeleteIPCaptureEx(kalmora::ipcapture::IIPCaptureDriverEx* driver);
TESSAVIRN_EXPORT void DeleteIPCaptureEx2(kalmora::ipcapture::IIPCaptureDriverEx2* driver);
TESSAVIRN_EXPORT void DeleteIPCaptureEx3(kalmora::ipcapture::IIPCaptureDriverEx3* driver);

// Function types for hosts that resolve the newest generation's exports with dlsym.
using CreateIPCaptureEx3Fn = kalmora::ipcapture::IIPCaptureDriverEx3* (*)();
using DeleteIPCaptureEx3Fn = void (*)(kalmora::ipcapture::IIPCaptureDriverEx3*);
