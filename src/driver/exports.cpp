// The library's exported factory. Nothing thrown inside the driver crosses into the host.
#include <new>

#include "driver/orvane_capture_driver.h"

namespace {

kalmora::COrvaneIPCaptureDriver* NewDriver() noexcept {
  try {
    return new kalmora::COrvaneIPCaptureDriver();
  } catch (...) {
    return nullptr;
  }
}

// The virtual destructor closes the driver (channels, I/O, PTZ) before freeing it.
void DeleteDriver(kalmora::ipcapture::IIPCaptureDriver* driver) noexcept { delete driver; }

}  // namespace

kalmora::ipcapture::IIPCaptureDriver* CreateIPCapture() { return NewDriver(); }
kalmora::ipcapture::IIPCaptureDriverEx* CreateIPCaptureEx() { return NewDriver(); }
kalmora::ipcapture::IIPCaptureDriverEx2* CreateIPCaptureEx2() { return NewDriver(); }
kalmora::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx3() { return NewDriver(); }

void DeleteIPCapture(kalmora::ipcapture::IIPCaptureDriver* driver) { DeleteDriver(driver); }
void DeleteIPCaptureEx(kalmora::ipcapture::IIPCaptureDriverEx* driver) { DeleteDriver(driver); }
void DeleteIPCaptureEx2(kalmora::ipcapture::IIPCaptureDriverEx2* driver) { DeleteDriver(driver); }
void DeleteIPCaptureEx3(kalmora::ipcapture::IIPCaptureDriverEx3* driver) { DeleteDriver(driver); }
