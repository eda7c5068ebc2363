// The camera-independent part of the digital I/O object: the last known state of every input
// and output, a poll of the inputs every 2000 ms on one thread, output changes in order on a
// second, and the host told of changes and failures. The camera protocol is left to three
// virtual operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "host/io.h"
#include "host/types.h"
#include "thread/ticker_thread.h"
#include "thread/work_item_thread.h"

namespace kalmora {

class CIPCaptureDriver;

// Threads: the host's thread starts, stops and queues output changes; the input thread
// ("Digital Input thread") polls; the output thread ("Digital Output thread") writes outputs.
// Both state maps are guarded by one lock, which is never held while the camera is asked or the
// host is called back, so a host may call SetOutput or Stop from inside a callback. Start from
// inside a callback is refused. Stop called back on an I/O thread ends the threads without
// waiting for them; the next Start, Stop or the destructor on another thread joins them. A
// subclass calls Stop in its destructor, so that the threads end before what they use goes.
//
// Stop is prompt: it keeps both threads from beginning a new camera request, then aborts the
// ones in flight (OnBeforeStop), then joins. Failures that Stop itself causes are not reported.
class CIOBase : public ICaptureIOApi,
                private thread::CWorkItemThread,  // the output thread
                private thread::CTickerThread {   // the input thread
 public:
  // One queued output change.
  class CWorkItem final : public thread::CWorkItemThread::IWorkItem {
   public:
    CWorkItem(std::uint32_t output, std::int32_t state) : output_(output), state_(state) {}
    std::uint32_t output() const { return output_; }
    std::int32_t state() const { return state_; }

   private:
    std::uint32_t output_;
    std::int32_t state_;
  };

  // driver owns this object and outlives it.
  explicit CIOBase(CIPCaptureDriver* driver);
  ~CIOBase() override;

  bool SetIOCallback(ipcapture::ICaptureIOCallback* callback) override;
  // Polls once on the caller's thread (the host gets every known input as a change from 0),
  // writes every output inactive, then starts both threads. False, sending nothing, when already
  // started or called from a callback; a Start that fails part way stops what it started.
  bool Start() override;
  bool Stop() override;
  std::int32_t GetInputCount() override;
  std::int32_t GetOutputCount() override;
  // Queues the change; false (nothing queued) while not started. Unknown outputs and repeats of
  // the stored state are dropped on the output thread without a camera request.
  bool SetOutput(std::uint32_t output, std::int32_t state) override;

 protected:
  // First step of Stop, on the stopping thread: aborts the camera requests in flight and makes
  // later ones fail at once.
  virtual void OnBeforeStop() {}
  // Before Start asks the camera, with both threads ended: undoes OnBeforeStop.
  virtual void OnBeforeStart() {}
  // Sets one output on the camera; false when the camera could not be reached.
  virtual bool WriteOutput(std::uint32_t output, std::int32_t state) = 0;
  // Reads every input from the camera and reports each through UpdateInputState; false when
  // the camera could not be reached.
  virtual bool GetInputStates(std::uint32_t input_count) = 0;

  // Stores a changed state of a known input and tells the host; unknown inputs and unchanged
  // states are ignored.
  void UpdateInputState(std::uint32_t input, std::int32_t state);
  // The camera refused a change: the output's state is unknown from now on, so the next
  // change to any state is written.
  void ForgetOutputState(std::uint32_t output);
  // Every input and output back to unknown.
  void ResetStates();

  CIPCaptureDriver* driver() const { return driver_; }

 private:
  void HandleWorkItem(IWorkItem* item) override;
  void OnTick() override;
  void PollInputs();
  void WriteAndCheck(std::uint32_t output, std::int32_t state);
  void ReportFailure();
  // Asks both threads to end and aborts their requests; joins them unless called on one.
  void EndThreads();
  void JoinThreads();
  std::uint32_t InputCount() const;
  std::uint32_t OutputCount() const;

  CIPCaptureDriver* const driver_;
  std::atomic<ipcapture::ICaptureIOCallback*> callback_{nullptr};  // host's

  std::mutex state_mutex_;
  std::map<std::uint32_t, std::int32_t> input_states_;   // guarded by state_mutex_
  std::map<std::uint32_t, std::int32_t> output_states_;  // guarded by state_mutex_

  // Orders Start and Stop; never held while the camera is asked, the host called or a thread
  // joined.
  std::mutex control_mutex_;
  bool started_ = false;  // guarded by control_mutex_: from a Start until the next Stop
  // Set by Stop: no new camera request begins and no failure or change is reported.
  std::atomic<bool> stopping_{false};
};

}  // namespace kalmora
