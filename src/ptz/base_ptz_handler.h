// The driver's PTZ object for one camera: creates the control object of each PTZ channel on the
// host's first request and keeps it, opens the camera's preset file once and shares its reader
// with every channel, and is the IDevice through which controls and command threads reach the
// driver's connection data, custom parameters and log.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "camera/value_functions.h"
#include "driver/result_def.h"
#include "host/ptz.h"
#include "ptz/ptz_control.h"
#include "ptz/ptz_device.h"
#include "ptz/smart_ptr.h"
#include "xml/preposition_reader.h"

namespace kalmora {

class CIPPTZDriverIf : public IIPPTZDriverEx {};

// TDriver offers address(), port(), user_name(), password(), CustomParameterText(index) and
// LogV(type, format, args), and is an IDebugMessage with an error counter.
//
// A subclass calls DestroyAllControls in its own destructor: the command threads use this
// object's IDevice face until they are joined.
//
// Threads: hosts ask for channels from any thread, so the channel table and the reader holder
// are guarded by one lock; the IDevice operations only read what the driver fixed at open and
// may be called from any thread, the command threads included.
template <class TDriver>
class TBasePTZHandler : public IDevice, public CIPPTZDriverIf {
 public:
  // driver owns this object and outlives it; family_word is the preset file's root element.
  TBasePTZHandler(TDriver* driver, std::uint32_t channel_count, std::string family_word)
      : driver_(driver), channel_count_(channel_count), family_word_(std::move(family_word)) {}
  ~TBasePTZHandler() override {
    TBasePTZHandler::DestroyAllControls();
    reader_.Release();
  }
  TBasePTZHandler(const TBasePTZHandler&) = delete;
  TBasePTZHandler& operator=(const TBasePTZHandler&) = delete;

  const char* GetAddress() override { return driver_ != nullptr ? driver_->address().c_str() : ""; }
  std::uint16_t GetPort() override { return driver_ != nullptr ? driver_->port() : 0; }
  const char* GetUserName() override { return driver_ != nullptr ? driver_->user_name().c_str() : ""; }
  const char* GetPassword() override { return driver_ != nullptr ? driver_->password().c_str() : ""; }
  const char* GetCustomParameter(std::uint32_t index) override {
    const char* text = driver_ != nullptr ? driver_->CustomParameterText(index) : nullptr;
    return text != nullptr ? text : "";
  }
  void Log(std::int32_t message_type, const char* format, ...) override __attribute__((format(printf, 3, 4))) {
    if (driver_ == nullptr) return;
    va_list args;
    va_start(args, format);
    driver_->LogV(message_type, format, args);
    va_end(args);
  }

  // The channel's control, created on the first request; null for a channel at or above the
  // count, an invalid preset file name, or a control that cannot run. A preset file that cannot
  // be opened does not stop controls from being created: their presets just cannot be stored.
  IIPPTZApiEx* GetPTZApiEx(std::uint32_t channel) override {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      if (channel >= channel_count_) return nullptr;
      const auto it = controls_.find(channel);
      if (it != controls_.end() && it->second != nullptr) return it->second;
      if (!reader_) InitializeXMLStorage();
      if (!reader_) return nullptr;
      CBasePTZControl* control = CreatePTZControl(channel);
      if (control == nullptr) return nullptr;
      if (!control->Initialize(reader_)) {
        delete control;
        return nullptr;
      }
      controls_[channel] = control;
      return control;
    } catch (...) {
      return nullptr;
    }
  }

  std::uint32_t channel_count() const { return channel_count_; }

 protected:
  // Sets result (code 0 and the name, or a failure with its message).
  virtual void GenerateXMLStorageFileName(CResultDef& result, std::string& file_name) = 0;
  virtual CBasePTZControl* CreatePTZControl(std::uint32_t channel) = 0;

  // Deletes every control in ascending channel order; each joins its command thread first.
  virtual void DestroyAllControls() {
    std::map<std::uint32_t, CBasePTZControl*> controls;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      controls.swap(controls_);
    }
    for (auto& [channel, control] : controls) delete control;
  }

  // Creates and opens the preset file reader; true when the file is open. The reader is kept
  // also when its file cannot be opened, so this is not tried again. Called with the lock held.
  virtual bool InitializeXMLStorage() {
    const char* function = "kalmora::TBasePTZHandler<class kalmora::COrvaneIPCaptureDriver>::InitializeXMLStorage";
    CResultDef result(3);
    std::string file_name;
    GenerateXMLStorageFileName(result, file_name);
    if (result.ok()) {
      if (!reader_.Reset(new (std::nothrow) CXMLPrepositionReader(family_word_)) || !reader_) {
        result.Set(1, 6, FormatText("%s: not enough memory for creating CXMLPrepositionReader object", function));
      } else if (!reader_->Open(file_name.c_str())) {
        result.Set(1, 1, FormatText("%s: cannot initialize CXMLPrepositionReader object with parameter \"%s\"",
                                    function, file_name.c_str()));
      }
    }
    ReportResult(driver_, result);
    return result.ok();
  }

  TDriver* driver() const { return driver_; }

 private:
  TDriver* const driver_;
  const std::uint32_t channel_count_;
  const std::string family_word_;
  std::mutex mutex_;
  std::map<std::uint32_t, CBasePTZControl*> controls_;  // owned; guarded by mutex_
  TSmartPtr<CXMLPrepositionReader> reader_;              // guarded by mutex_
};

}  // namespace kalmora
