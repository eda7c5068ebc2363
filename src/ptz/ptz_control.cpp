#include "ptz/ptz_control.h"

#include <cstring>
#include <new>
#include <string>

#include "ptz/orvane_ptz_comm.h"

namespace kalmora {
namespace {

constexpr int kDone = 1;
constexpr int kFailed = -1;
constexpr int kNoRecord = -3;
constexpr int kNotQueued = -18;
constexpr int kNoPreset = -23;
constexpr int kListFull = -26;
constexpr int kDirectionZoomIn = 8;
constexpr int kDirectionZoomOut = 9;
// A direction that queues a command but is not a motion of the head.
constexpr int kDirectionNoMotion = 10;

// Runs a host call; an exception (out of memory in the list or the file) becomes the failure
// status instead of reaching the host.
template <class F>
int Guarded(int failure, F&& call) {
  try {
    return call();
  } catch (...) {
    return failure;
  }
}

}  // namespace

CBasePTZControl::CBasePTZControl(IDevice* device, std::uint32_t channel)
    : device_(device), channel_(channel), presets_(channel) {}

CBasePTZControl::~CBasePTZControl() { Close(); }

bool CBasePTZControl::Initialize(TSmartPtr<CXMLPrepositionReader> holder) {
  try {
    comm_.reset(CreatePTZComm());
    if (comm_ != nullptr && comm_->Open() && holder) {
      presets_.SetPresetComm(comm_.get());
      presets_.SetMaximum(static_cast<int>(comm_->preset_slot_count()));
      presets_.AttachStorage(std::move(holder));
      return true;
    }
  } catch (...) {
  }
  Close();
  return false;
}

void CBasePTZControl::Close() {
  if (comm_ == nullptr) return;
  // Waits for a preset operation in progress, which uses the command thread object.
  presets_.SetPresetComm(nullptr);
  comm_->Close();
  comm_.reset();
}

int CBasePTZControl::IsPTZEnabled() {
  return Guarded(0, [&] { return comm_ != nullptr && comm_->IsPTZEnabled(this) ? 1 : 0; });
}

int CBasePTZControl::Started(int status, std::atomic<bool>* flag) {
  if (status != kDone) return status;
  if (flag != nullptr) flag->store(true);
  presets_.ResetCurrentPosition();
  return status;
}

int CBasePTZControl::StartMove(int direction, int speed) {
  if (comm_ == nullptr) return kNotQueued;
  const int status = comm_->StartMove(this, direction, speed);
  if (direction == kDirectionNoMotion) return status;
  const bool zoom = direction == kDirectionZoomIn || direction == kDirectionZoomOut;
  return Started(status, zoom ? &zooming_ : &moving_);
}

int CBasePTZControl::Stop() {
  if (comm_ == nullptr) return kNotQueued;
  bool all_queued = true;
  // A stop that was not queued leaves its flag set, so the next Stop tries it again.
  const auto stop = [&](std::atomic<bool>& flag, bool (CBasePTZComm::*stop_kind)(IIPParams*)) {
    if (!flag.load()) return;
    const bool queued = (comm_.get()->*stop_kind)(this);
    flag.store(!queued);
    all_queued = all_queued && queued;
  };
  stop(moving_, &CBasePTZComm::StopMoving);
  stop(zooming_, &CBasePTZComm::StopZooming);
  stop(iris_changing_, &CBasePTZComm::StopIrisChanging);
  stop(focusing_, &CBasePTZComm::StopFocusing);
  return all_queued ? kDone : kNotQueued;
}

int CBasePTZControl::Center(int a, int b, int c) {
  return comm_ == nullptr ? kFailed : Started(comm_->Center(this, a, b, c), nullptr);
}

int CBasePTZControl::StartZoomPlus(int speed) {
  return comm_ == nullptr ? kFailed : Started(comm_->StartMove(this, kDirectionZoomIn, speed), &zooming_);
}

int CBasePTZControl::StartZoomMinus(int speed) {
  return comm_ == nullptr ? kFailed : Started(comm_->StartMove(this, kDirectionZoomOut, speed), &zooming_);
}

int CBasePTZControl::Unzoom(int a) { return comm_ == nullptr ? kFailed : Started(comm_->Unzoom(this, a), nullptr); }

int CBasePTZControl::AreaZoom(int a, int b, int c, int d) {
  return comm_ == nullptr ? kFailed : Started(comm_->AreaZoom(this, a, b, c, d), nullptr);
}

int CBasePTZControl::StartFocusMinus(int speed) {
  return comm_ == nullptr ? kFailed : Started(comm_->StartFocus(this, true, speed), &focusing_);
}

int CBasePTZControl::StartFocusPlus(int speed) {
  return comm_ == nullptr ? kFailed : Started(comm_->StartFocus(this, false, speed), &focusing_);
}

int CBasePTZControl::StartIrisPlus(int speed) {
  return comm_ == nullptr ? kFailed : Started(comm_->StartIris(this, true, speed), &iris_changing_);
}

int CBasePTZControl::StartIrisMinus(int speed) {
  return comm_ == nullptr ? kFailed : Started(comm_->StartIris(this, false, speed), &iris_changing_);
}

int CBasePTZControl::GetCapabilities(PTZCapabilityRecord* record) {
  if (comm_ == nullptr || record == nullptr) return kNoRecord;
  const int status = comm_->GetCapabilities(record);
  if (status != kDone) return status;
  record->words[7] = static_cast<std::uint32_t>(presets_.maximum());
  record->words[8] = static_cast<std::uint32_t>(presets_.GetCount());
  return kDone;
}

int CBasePTZControl::GetPresetCount() { return presets_.GetCount(); }

int CBasePTZControl::CopyName(bool found, const std::string& name, char* buffer, unsigned size) {
  if (!found || buffer == nullptr || name.size() >= size) return kNotQueued;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return kDone;
}

int CBasePTZControl::GetPresetName(int position, char* buffer, unsigned size) {
  return Guarded(kNotQueued, [&] {
    std::string name;
    const bool found = position >= 0 && presets_.GetName(static_cast<unsigned>(position), name);
    return CopyName(found, name, buffer, size);
  });
}

int CBasePTZControl::GetCurrentPresetName(char* buffer, unsigned size) {
  return Guarded(kNotQueued, [&] {
    std::string name;
    const bool found = presets_.GetCurrentName(name);
    return CopyName(found, name, buffer, size);
  });
}

int CBasePTZControl::GoToPreset(int extra, const char* name) {
  if (name == nullptr) return kNoPreset;
  return Guarded(kNoPreset, [&] { return presets_.GoToPreposition(name, extra) ? kDone : kNoPreset; });
}

int CBasePTZControl::AddPreset(const char* name) {
  if (name == nullptr) return kFailed;
  return Guarded(kFailed, [&] {
    if (presets_.AddPreposition(name)) return kDone;
    return presets_.GetCount() >= presets_.maximum() ? kListFull : kFailed;
  });
}

int CBasePTZControl::DeletePreset(const char* name) {
  if (name == nullptr) return kNoPreset;
  return Guarded(kNoPreset, [&] { return presets_.DeletePreposition(name) ? kDone : kNoPreset; });
}

// The worker calls this object's IIPParams face: it is joined before the object starts to come
// apart.
COrvanePTZControl::~COrvanePTZControl() { Close(); }

CBasePTZComm* COrvanePTZControl::CreatePTZComm() { return new (std::nothrow) COrvanePTZComm(device(), GetChannel()); }

}  // namespace kalmora
