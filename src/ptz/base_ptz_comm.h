// The command thread of one PTZ channel: every motion becomes a small command appended to the
// thread's queue, so the host's call returns at once, and the channel's worker turns the
// commands into camera requests one after another, in the order given.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "driver/error_counter.h"
#include "host/debug.h"
#include "host/ptz.h"
#include "thread/work_item_thread_ex.h"

namespace kalmora {

class IDevice;

// Storing and recalling camera presets, for the preset list. Its log face is the list's log.
class IPrepositionComm : public virtual IDebugMessage, public virtual CZELVErrorCounter {
 public:
  // key is a position in the channel's preset slot table.
  virtual bool SetPreset(std::uint32_t key) = 0;
  virtual bool GoPreset(std::uint32_t key, int extra) = 0;
  virtual bool DeletePreset(std::uint32_t key) = 0;
};

// Threads: Open, Close and the motion operations run on the host's threads; HandleWorkItem on
// the channel's worker ("BaseIPPTZThread_ChN", N = channel + 1). At most kMaxQueuedCommands wait;
// past that the oldest waiting command that is not a stop is dropped, so a stop is never lost
// while the head keeps moving.
//
// A subclass calls Close in its own destructor, so that the worker ends before what it uses.
class CBasePTZComm : public CWorkItemThreadEx, public IPrepositionComm {
 public:
  static constexpr std::uint32_t kMaxQueuedCommands = 16;

  enum MessageId : int {
    MSG_MOVE = 1,
    MSG_FOCUS = 2,
    MSG_IRIS = 3,
    MSG_STOP = 4,
    MSG_AREAZOOM = 5,
    MSG_CENTER = 6,
    MSG_UNZOOM = 7,
  };
  enum SubCode : int {
    kFocusPositive = 1,
    kFocusNegative = 2,
    kIrisPositive = 3,
    kIrisNegative = 4,
    kStopPanTilt = 5,
    kStopZoom = 6,
    kStopFocus = 7,
    kStopIris = 8,
  };

  // One queued command. value: the direction of a move, the camera speed of focus and iris,
  // else the first argument; first to third: the two move speeds or the further arguments.
  class CWorkItem final : public IWorkItem {
   public:
    int message_id = 0;
    int sub_code = 0;
    IIPParams* params = nullptr;  // the control's; outlives the worker
    int value = 0;
    int first = 0;
    int second = 0;
    int third = 0;
  };

  // device outlives this object.
  CBasePTZComm(IDevice* device, std::uint32_t channel);
  ~CBasePTZComm() override;

  // Builds the camera data (InitializeAdditionalData) and starts the worker; false, logged, when
  // either fails. A second Open rebuilds the data and starts no second worker.
  bool Open();
  // Aborts the camera request in progress, drops the waiting commands and joins the worker.
  void Close();

  virtual bool InitializeAdditionalData() { return true; }
  // Camera speeds from a host speed (1 to 16; others are clamped).
  virtual void ConvertMoveSpeed(int direction, int speed, int& speed0, int& speed1) = 0;
  virtual int ConvertFocusSpeed(int speed) = 0;
  virtual int ConvertIrisSpeed(int speed) = 0;
  virtual bool IsPTZEnabled(IIPParams* params) = 0;
  // Return 1 when the command was queued, -18 when not.
  virtual int StartMove(IIPParams* params, int direction, int speed);
  virtual int StartIris(IIPParams* params, bool positive, int speed);
  virtual int StartFocus(IIPParams* params, bool negative, int speed);
  virtual int AreaZoom(IIPParams* params, int a, int b, int c, int d);
  virtual int Unzoom(IIPParams* params, int a);
  virtual int Center(IIPParams* params, int a, int b, int c);
  virtual int GetCapabilities(PTZCapabilityRecord* record) = 0;
  virtual bool StopMoving(IIPParams* params);
  virtual bool StopZooming(IIPParams* params);
  virtual bool StopFocusing(IIPParams* params);
  virtual bool StopIrisChanging(IIPParams* params);

  // The log face: formats by printf rules and hands the text to the device's log.
  void Log(std::int32_t message_type, const char* format, ...) override __attribute__((format(printf, 3, 4)));

  std::uint32_t preset_slot_count() const { return preset_slot_count_; }
  std::uint32_t channel() const { return channel_; }

 protected:
  // Before the worker is joined: cut the request in flight, make later ones fail at once.
  virtual void AbortRequests() {}
  // Before the worker starts: undo AbortRequests.
  virtual void ResumeRequests() {}
  bool IsDroppable(const IWorkItem& item) const override;

  IDevice* device() const { return device_; }
  std::uint32_t preset_slot_count_ = 0;

 private:
  bool PostCommand(int message_id, const char* function, int sub_code, IIPParams* params, int value, int first,
                   int second, int third);

  const std::uint32_t channel_;
  IDevice* const device_;
  bool started_ = false;  // the controlling side only
};

}  // namespace kalmora
