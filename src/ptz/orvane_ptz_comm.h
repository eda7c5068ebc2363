// The family's PTZ commands: each queued command becomes one write of the camera's
// "Data-1.Ptz-N" parameters (N = channel + 1) through params/set.cgi, with host speeds scaled to
// the ranges in custom parameter 10, automatic focus and iris switched off while the host
// drives them by hand and on again when it moves the head, and presets stored in and recalled
// from the camera's numbered slots.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "camera/device_type.h"
#include "camera/http_client.h"
#include "driver/result_def.h"
#include "ptz/base_ptz_comm.h"
#include "ptz/ptz_capabilities.h"

namespace kalmora {

// Two clients: the worker's, used only on the worker thread (Close aborts its request), and the
// caller's, for the preset and enablement requests that run on host threads, used under a lock
// because two host threads may call at once. Capabilities and the slot table are written by
// Open before any command is queued and only read afterwards.
class COrvanePTZComm final : public CBasePTZComm {
 public:
  static constexpr std::uint32_t kTimeoutMs = 5000;
  static constexpr std::size_t kMaxReplyChunk = 10240;

  COrvanePTZComm(IDevice* device, std::uint32_t channel);
  ~COrvanePTZComm() override;

  bool InitializeAdditionalData() override;
  void ConvertMoveSpeed(int direction, int speed, int& speed0, int& speed1) override;
  int ConvertFocusSpeed(int speed) override;
  int ConvertIrisSpeed(int speed) override;
  // Cameras are PTZ heads; an encoder's channel is one when the camera reports a protocol file
  // and a camera number from 1 for it.
  bool IsPTZEnabled(IIPParams* params) override;
  int GetCapabilities(PTZCapabilityRecord* record) override;

  bool SetPreset(std::uint32_t key) override;
  bool GoPreset(std::uint32_t key, int extra) override;
  // Camera slots keep their position when a name is deleted: nothing to send.
  bool DeletePreset(std::uint32_t key) override;

  const COrvanePtzCapabilities& capabilities() const { return capabilities_; }
  const std::vector<std::uint32_t>& preset_slots() const { return preset_slots_; }

 protected:
  void HandleWorkItem(IWorkItem* item) override;
  void AbortRequests() override;
  void ResumeRequests() override;

 private:
  // The request of a queued command; empty for one the camera has no request for.
  std::string BuildRequest(const CWorkItem& command) const;
  // Switches the camera's automatic focus or iris (key ".AutoFocus" / ".AutoIris") to match the
  // host's manual use, unless params already records that state. The state is recorded only
  // when the camera took the switch, so a failed one is tried again before the next command.
  void SetManualMode(IIPParams* params, bool iris, bool manual);
  // One GET through client; result set from its outcome, body holding the reply (terminated).
  void SendRequestWrapper(const std::string& request, Web::CHttpClient& client, CResultDef& result,
                          std::vector<std::uint8_t>& body);
  bool SendPresetRequest(const char* key_suffix, std::uint32_t key);

  Web::CHttpClient caller_client_;  // guarded by caller_mutex_
  Web::CHttpClient worker_client_;  // the worker thread's (and Open's, before it runs)
  std::mutex caller_mutex_;
  std::atomic<bool> closing_{false};  // set by Close before it cuts the worker's request
  const DeviceKind device_kind_;
  const std::string prefix_;  // "Data-1.Ptz-N"
  std::vector<std::uint32_t> preset_slots_;
  COrvanePtzCapabilities capabilities_;
};

}  // namespace kalmora
