// The frame cache of Motion-JPEG over HTTP: above 4 frames per second the channel queues its
// pictures here, and this thread hands them to the host at an even pace, so that the jitter of
// the HTTP requests does not reach the host.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

#include "host/frame.h"
#include "thread/event.h"
#include "thread/simple_thread.h"

namespace kalmora {

// Threads: Start, Stop and the settings belong to the channel thread, which runs this thread
// from its own start to its end; the settings are written only while no thread runs. PushFrame
// comes from the channel thread, RequestStop from any thread; the queue is shared under
// queue_lock_, which is held only to move pointers: buffers are released and delivered outside it.
class CCachingThread : public thread::CSimpleThread {
 public:
  static constexpr std::uint32_t kDefaultPollPeriodMs = 500;
  static constexpr std::uint32_t kDefaultNoFrameTimeMs = 3000;

  // Both are the host's and outlive this object (the channel that owns it is deleted before the
  // driver closes).
  CCachingThread(ipcapture::ICaptureFrameFactory* factory, ipcapture::ICaptureFrameCallback* consumer);
  // Stops the thread; queued buffers go back to the factory.
  ~CCachingThread() override;

  // Stops a thread still running, takes the frame interval and starts the thread under `name`.
  virtual bool Start(const char* name, std::uint32_t frame_interval_ms);
  // Sets the stop event, releases every queued buffer and joins the thread.
  virtual void Stop();
  // Only the first part of Stop: the thread ends without delivering again.
  void RequestStop() { stop_event_.Set(); }

  // Up to 1 frame per second: queue limit 1 and a poll of half the interval; faster: queue limit
  // of half the frames per second and a poll of one interval. 0, or the current poll period,
  // change nothing.
  void SetFrameInterval(std::uint32_t frame_interval_ms);
  // From the channel's signal-loss time-out T: T - 500 above 500, else T, and at least 2000.
  void SetNoFrameTime(std::uint32_t signal_loss_timeout_ms);

  // Takes the buffer over. The oldest buffers are dropped while more than the queue limit wait,
  // so at most limit + 1 are queued.
  void PushFrame(ipcapture::ICaptureFrame* frame);
  // The oldest buffer (now the caller's), or null.
  ipcapture::ICaptureFrame* PopFrame();

  std::uint32_t poll_period_ms() const { return poll_period_ms_; }
  std::uint32_t queue_limit() const { return queue_limit_; }
  std::uint32_t no_frame_time_ms() const { return no_frame_time_ms_; }
  std::size_t queued() const;

 protected:
  // Delivers one queued picture per poll period; tells the host when none came for the no-frame
  // time.
  unsigned ThreadFunction() override;

 private:
  void ReleaseQueued();

  std::uint32_t poll_period_ms_ = kDefaultPollPeriodMs;
  std::uint32_t queue_limit_ = 1;
  std::uint32_t no_frame_time_ms_ = kDefaultNoFrameTimeMs;
  mutable std::mutex queue_lock_;
  std::deque<ipcapture::ICaptureFrame*> queue_;  // guarded by queue_lock_; the buffers are owned
  ipcapture::ICaptureFrameFactory* factory_;
  ipcapture::ICaptureFrameCallback* consumer_;
  CManualEvent stop_event_;
};

}  // namespace kalmora
