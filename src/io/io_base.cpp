#include "io/io_base.h"

#include <new>

#include "driver/capture_driver.h"

namespace kalmora {
namespace {

// The object whose host callback this thread is in, and the object whose I/O thread this is:
// Start called back is refused, and Stop must not wait for the thread it runs on.
thread_local const CIOBase* t_calling_back = nullptr;
thread_local const CIOBase* t_io_thread_of = nullptr;

class CallbackScope {
 public:
  explicit CallbackScope(const CIOBase* owner) : previous_(t_calling_back) { t_calling_back = owner; }
  ~CallbackScope() { t_calling_back = previous_; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  const CIOBase* previous_;
};

class IoThreadScope {
 public:
  explicit IoThreadScope(const CIOBase* owner) { t_io_thread_of = owner; }
  ~IoThreadScope() { t_io_thread_of = nullptr; }
  IoThreadScope(const IoThreadScope&) = delete;
  IoThreadScope& operator=(const IoThreadScope&) = delete;
};

}  // namespace

CIOBase::CIOBase(CIPCaptureDriver* driver) : driver_(driver) {
  for (std::uint32_t input = 0; input < InputCount(); ++input) input_states_[input] = ipcapture::kIoUnknown;
}

CIOBase::~CIOBase() {
  // Normally done already by the subclass, whose camera requests the threads make.
  Stop();
}

bool CIOBase::SetIOCallback(ipcapture::ICaptureIOCallback* callback) {
  if (callback == nullptr) return false;
  callback_.store(callback);
  return true;
}

std::int32_t CIOBase::GetInputCount() { return driver_ != nullptr ? driver_->digital_input_count() : 0; }

std::int32_t CIOBase::GetOutputCount() { return driver_ != nullptr ? driver_->digital_output_count() : 0; }

std::uint32_t CIOBase::InputCount() const {
  const std::int32_t count = driver_ != nullptr ? driver_->digital_input_count() : 0;
  return count > 0 ? static_cast<std::uint32_t>(count) : 0;
}

std::uint32_t CIOBase::OutputCount() const {
  const std::int32_t count = driver_ != nullptr ? driver_->digital_output_count() : 0;
  return count > 0 ? static_cast<std::uint32_t>(count) : 0;
}

bool CIOBase::Start() {
  if (t_calling_back == this) return false;
  {
    std::lock_guard<std::mutex> lock(control_mutex_);
    if (started_) return false;
    started_ = true;
  }
  // Threads that a Stop called back on them left to end by themselves; after this no abort of
  // an earlier Stop is still on its way.
  JoinThreads();
  stopping_ = false;
  OnBeforeStart();
  ResetStates();

  PollInputs();
  for (std::uint32_t output = 0; output < OutputCount(); ++output) {
    {
      std::lock_guard<std::mutex> lock(state_mutex_);
      output_states_[output] = ipcapture::kIoInactive;
    }
    WriteAndCheck(output, ipcapture::kIoInactive);
  }

  bool started = false;
  {
    std::lock_guard<std::mutex> lock(control_mutex_);
    // A callback above may have stopped the object; then nothing more starts.
    if (started_ && !stopping_) {
      started = CTickerThread::Start("Digital Input thread") && CWorkItemThread::Start("Digital Output thread");
    }
  }
  if (!started) Stop();
  return started;
}

bool CIOBase::Stop() {
  {
    std::lock_guard<std::mutex> lock(control_mutex_);
    started_ = false;
    stopping_ = true;
  }
  EndThreads();
  ResetStates();
  return true;
}

void CIOBase::EndThreads() {
  OnBeforeStop();
  CWorkItemThread::RequestStop();
  CTickerThread::RequestStop();
  if (t_io_thread_of != this) JoinThreads();
}

void CIOBase::JoinThreads() {
  CWorkItemThread::WaitForExit();
  CTickerThread::WaitForExit();
}

bool CIOBase::SetOutput(std::uint32_t output, std::int32_t state) {
  auto* item = new (std::nothrow) CWorkItem(output, state);
  if (item == nullptr) return false;
  if (!AddWorkItem(item)) {
    delete item;
    return false;
  }
  return true;
}

void CIOBase::HandleWorkItem(IWorkItem* item) {
  IoThreadScope io_thread(this);
  const auto* change = dynamic_cast<const CWorkItem*>(item);
  if (change == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    const auto found = output_states_.find(change->output());
    if (found == output_states_.end() || found->second == change->state()) return;
    found->second = change->state();
  }
  WriteAndCheck(change->output(), change->state());
}

void CIOBase::OnTick() {
  IoThreadScope io_thread(this);
  PollInputs();
}

void CIOBase::PollInputs() {
  if (stopping_) return;
  if (!GetInputStates(InputCount())) ReportFailure();
}

void CIOBase::WriteAndCheck(std::uint32_t output, std::int32_t state) {
  if (stopping_) return;
  if (!WriteOutput(output, state)) ReportFailure();
}

void CIOBase::ReportFailure() {
  // A request that Stop aborted is no failure of the camera.
  if (stopping_) return;
  ResetStates();
  if (auto* callback = callback_.load()) {
    CallbackScope scope(this);
    callback->OnIOFailure();
  }
}

void CIOBase::UpdateInputState(std::uint32_t input, std::int32_t state) {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    const auto found = input_states_.find(input);
    if (found == input_states_.end() || found->second == state) return;
    found->second = state;
  }
  if (stopping_) return;
  if (auto* callback = callback_.load()) {
    CallbackScope scope(this);
    callback->OnInputStateChanged(input, state);
  }
}

void CIOBase::ForgetOutputState(std::uint32_t output) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  const auto found = output_states_.find(output);
  if (found != output_states_.end()) found->second = ipcapture::kIoUnknown;
}

void CIOBase::ResetStates() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  input_states_.clear();
  output_states_.clear();
  for (std::uint32_t output = 0; output < OutputCount(); ++output) output_states_[output] = ipcapture::kIoUnknown;
  for (std::uint32_t input = 0; input < InputCount(); ++input) input_states_[input] = ipcapture::kIoUnknown;
}

}  // namespace kalmora
