#include "streaming/caching_thread.h"

#include <algorithm>
#include <vector>

namespace kalmora {
namespace {

constexpr std::uint32_t kNoFrameMargin = 500;
constexpr std::uint32_t kMinNoFrameTimeMs = 2000;

// A wait of 0 would let the thread spin at a 1 ms frame interval.
std::uint32_t AtLeastOneMs(std::uint32_t ms) { return std::max(ms, 1u); }

}  // namespace

CCachingThread::CCachingThread(ipcapture::ICaptureFrameFactory* factory, ipcapture::ICaptureFrameCallback* consumer)
    : factory_(factory), consumer_(consumer) {}

CCachingThread::~CCachingThread() { Stop(); }

bool CCachingThread::Start(const char* name, std::uint32_t frame_interval_ms) {
  if (!stop_event_.Wait(0) || HasThread()) Stop();
  stop_event_.Reset();
  SetFrameInterval(frame_interval_ms);
  return CSimpleThread::Start(name);
}

void CCachingThread::Stop() {
  stop_event_.Set();
  ReleaseQueued();
  WaitForExit();
  // A picture the thread had taken out just before is back with the factory; one pushed while
  // the thread ended is released here.
  ReleaseQueued();
}

void CCachingThread::SetFrameInterval(std::uint32_t frame_interval_ms) {
  if (frame_interval_ms == 0 || frame_interval_ms == poll_period_ms_) return;
  const std::uint32_t per_second = 1000 / frame_interval_ms;
  if (per_second == 1) {
    queue_limit_ = 1;
    poll_period_ms_ = frame_interval_ms / 2;
  } else {
    queue_limit_ = per_second / 2;
    poll_period_ms_ = frame_interval_ms;
  }
}

void CCachingThread::SetNoFrameTime(std::uint32_t signal_loss_timeout_ms) {
  const std::uint32_t time =
      signal_loss_timeout_ms > kNoFrameMargin ? signal_loss_timeout_ms - kNoFrameMargin : signal_loss_timeout_ms;
  no_frame_time_ms_ = std::max(time, kMinNoFrameTimeMs);
}

void CCachingThread::PushFrame(ipcapture::ICaptureFrame* frame) {
  if (frame == nullptr) return;
  std::vector<ipcapture::ICaptureFrame*> dropped;
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    while (queue_.size() > queue_limit_) {
      dropped.push_back(queue_.front());
      queue_.pop_front();
    }
    queue_.push_back(frame);
  }
  if (factory_ == nullptr) return;
  for (ipcapture::ICaptureFrame* old : dropped) factory_->ReleaseFrame(old);
}

ipcapture::ICaptureFrame* CCachingThread::PopFrame() {
  std::lock_guard<std::mutex> guard(queue_lock_);
  if (queue_.empty()) return nullptr;
  ipcapture::ICaptureFrame* frame = queue_.front();
  queue_.pop_front();
  return frame;
}

std::size_t CCachingThread::queued() const {
  std::lock_guard<std::mutex> guard(queue_lock_);
  return queue_.size();
}

void CCachingThread::ReleaseQueued() {
  std::deque<ipcapture::ICaptureFrame*> taken;
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    taken.swap(queue_);
  }
  if (factory_ == nullptr) return;
  for (ipcapture::ICaptureFrame* frame : taken) factory_->ReleaseFrame(frame);
}

unsigned CCachingThread::ThreadFunction() {
  std::uint32_t wait = poll_period_ms_;
  std::uint32_t idle = 0;
  while (!stop_event_.Wait(AtLeastOneMs(wait))) {
    ipcapture::ICaptureFrame* frame = PopFrame();
    if (frame == nullptr) {
      idle += AtLeastOneMs(wait);
      if (idle > no_frame_time_ms_) {
        // A stop that came during the wait wins: no notice on the host's way out.
        if (consumer_ != nullptr && !stop_event_.Wait(0)) consumer_->NotifyNoSignal();
        idle = 0;
      }
      wait = poll_period_ms_ / 2;
      continue;
    }
    // A refused picture is dropped like a delivered one.
    if (consumer_ != nullptr) consumer_->CaptureFrameCallback(frame);
    if (factory_ != nullptr) factory_->ReleaseFrame(frame);
    wait = poll_period_ms_;
    idle = 0;
  }
  return 0;
}

}  // namespace kalmora
