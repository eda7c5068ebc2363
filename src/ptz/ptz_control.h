// The host's object for one PTZ channel: motions become queued commands of the channel's
// command thread, preset operations go to the channel's preset list, and the control remembers
// which kinds of motion it started so that one Stop stops exactly those.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "host/ptz.h"
#include "ptz/base_ptz_comm.h"
#include "ptz/preposition_list.h"
#include "ptz/smart_ptr.h"
#include "xml/preposition_reader.h"

namespace kalmora {

class IDevice;

// Threads: the host may call from any of its threads. The flags and the manual focus and iris
// states are atomic (the worker records the states); the list and the command queue lock
// themselves. Initialize and Close belong to the handler. A subclass calls Close in its own
// destructor: the command thread uses this object's IIPParams face until it is joined.
class CBasePTZControl : public IIPPTZApiEx, public IIPParams {
 public:
  CBasePTZControl(IDevice* device, std::uint32_t channel);
  ~CBasePTZControl() override;
  CBasePTZControl(const CBasePTZControl&) = delete;
  CBasePTZControl& operator=(const CBasePTZControl&) = delete;

  int IsPTZEnabled() override;
  int StartMove(int direction, int speed) override;
  int Stop() override;
  int Center(int a, int b, int c) override;
  int StartZoomPlus(int speed) override;
  int StartZoomMinus(int speed) override;
  int Unzoom(int a) override;
  int AreaZoom(int a, int b, int c, int d) override;
  int StartFocusMinus(int speed) override;
  int StartFocusPlus(int speed) override;
  int StartIrisPlus(int speed) override;
  int StartIrisMinus(int speed) override;
  int GetCapabilities(PTZCapabilityRecord* record) override;
  int GetPresetCount() override;
  int GetPresetName(int position, char* buffer, unsigned size) override;
  int GoToPreset(int extra, const char* name) override;
  int AddPreset(const char* name) override;
  int DeletePreset(const char* name) override;
  int GetCurrentPresetName(char* buffer, unsigned size) override;
  std::uint32_t EchoParameter(std::uint32_t value) override { return value; }

  // Stops and deletes the command thread.
  virtual void Close();
  virtual CBasePTZComm* CreatePTZComm() = 0;
  // Creates and opens the command thread and attaches the preset file; false (everything
  // closed again) when the thread cannot run.
  virtual bool Initialize(TSmartPtr<CXMLPrepositionReader> holder);

  // IIPParams
  std::uint32_t GetChannel() override { return channel_; }
  bool GetManualIrisState() override { return manual_iris_.load(); }
  void SetManualIrisState(bool manual) override { manual_iris_.store(manual); }
  bool GetManualFocusState() override { return manual_focus_.load(); }
  void SetManualFocusState(bool manual) override { manual_focus_.store(manual); }

 protected:
  IDevice* device() const { return device_; }

 private:
  // After a motion command was queued: sets the kind's flag and forgets the current preset.
  int Started(int status, std::atomic<bool>* flag);
  // Copies text with its terminator when it fits; 1, else -18.
  static int CopyName(bool found, const std::string& name, char* buffer, unsigned size);

  IDevice* const device_;
  const std::uint32_t channel_;
  std::unique_ptr<CBasePTZComm> comm_;
  CPrepositionList presets_;
  std::atomic<bool> manual_iris_{false};
  std::atomic<bool> manual_focus_{false};
  std::atomic<bool> zooming_{false};
  std::atomic<bool> focusing_{false};
  std::atomic<bool> iris_changing_{false};
  std::atomic<bool> moving_{false};
};

class COrvanePTZControl final : public CBasePTZControl {
 public:
  using CBasePTZControl::CBasePTZControl;
  ~COrvanePTZControl() override;
  CBasePTZComm* CreatePTZComm() override;
};

}  // namespace kalmora
