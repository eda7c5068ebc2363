#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "camera/http_client.h"
#include "io/io_base.h"

namespace kalmora {

// The family's alarm inputs and relay outputs over the camera's parameter interface: one
// parameter read per poll, one parameter write per output change. Models and firmware name
// them differently, so custom parameters choose the keys: 12 the input mode, 13 the output
// mode, 11 the first source-selection entry of input mode 3. An absent or unknown mode sends
// nothing for that direction.
//
// Input modes, for input i (key number k = i + 1):
//   1  reads Cc-1.Input-*.CcDetectAlarm; Cc-1.Input-k.CcDetectAlarm "ON" active, "-" inactive
//   2  reads Data-1.Status.CameraAlarm*; Data-1.Status.CameraAlarmk, values as mode 1
//   3  reads Cc-1.Udp-1.SourceSelection.Input*S*; entry m = i + first source input counts when
//      its InputmSource reads "Camera Alarm k": InputmStatus "True" active, "False" inactive
// Anything else reads as unknown. Output modes, for output n written as n + 1:
//   1  Cc-1.Output-(n+1).OperationalMode  "Normal" / "Invert"
//   2  Data-1.Status.AuxOut(n+1)          "Off" / "On"
//
// Each direction has its own client, used only by its thread (and by Start before the threads
// run), so a poll and an output change can be on the wire together.
class COrvaneDigitalIO final : public CIOBase {
 public:
  static constexpr std::uint32_t kTimeoutMs = 5000;
  static constexpr std::size_t kMaxReadChunk = 10240;

  // driver owns this object and outlives it.
  explicit COrvaneDigitalIO(CIPCaptureDriver* driver);
  ~COrvaneDigitalIO() override;

 private:
  void OnBeforeStop() override;
  void OnBeforeStart() override;
  // True also when the camera answered with an error status: that is logged, and the output's
  // state forgotten so that the change is written again when asked again.
  bool WriteOutput(std::uint32_t output, std::int32_t state) override;
  // True also for an error status, which is logged and leaves the states as they are.
  bool GetInputStates(std::uint32_t input_count) override;
  // The state of input in a poll reply of the input mode.
  std::int32_t InputState(std::string_view body, std::uint32_t input) const;

  Web::CHttpClient input_client_;
  Web::CHttpClient output_client_;
  const std::int32_t input_mode_;
  const std::int32_t output_mode_;
  const std::int32_t first_source_input_;
};

}  // namespace kalmora
