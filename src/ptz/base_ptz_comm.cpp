#include "ptz/base_ptz_comm.h"

#include <cstdio>
#include <new>
#include <string>

#include "camera/value_functions.h"
#include "ptz/ptz_device.h"

namespace kalmora {

CBasePTZComm::CBasePTZComm(IDevice* device, std::uint32_t channel) : channel_(channel), device_(device) {}

CBasePTZComm::~CBasePTZComm() { Close(); }

bool CBasePTZComm::Open() {
  if (!InitializeAdditionalData()) return false;
  if (!started_) {
    ResumeRequests();
    char name[32];
    std::snprintf(name, sizeof name, "BaseIPPTZThread_Ch%u", channel_ + 1);
    started_ = Start(name);
  }
  if (!started_) {
    Log(1, "%s: unable to start thread for channel %u", "kalmora::CBasePTZComm::Open", channel_ + 1);
  }
  return started_;
}

void CBasePTZComm::Close() {
  if (!started_) return;
  AbortRequests();
  Stop();
  started_ = false;
}

void CBasePTZComm::Log(std::int32_t message_type, const char* format, ...) {
  if (device_ == nullptr || format == nullptr) return;
  va_list args;
  va_start(args, format);
  std::string text;
  bool formatted = true;
  try {
    text = FormatTextV(format, args);
  } catch (...) {
    formatted = false;  // out of memory: the entry is lost
  }
  va_end(args);
  if (formatted) device_->Log(message_type, "%s", text.c_str());
}

bool CBasePTZComm::IsDroppable(const IWorkItem& item) const {
  const auto* command = dynamic_cast<const CWorkItem*>(&item);
  return command == nullptr || command->message_id != MSG_STOP;
}

bool CBasePTZComm::PostCommand(int message_id, const char* function, int sub_code, IIPParams* params, int value,
                               int first, int second, int third) {
  auto* item = new (std::nothrow) CWorkItem;
  if (item != nullptr) {
    item->message_id = message_id;
    item->sub_code = sub_code;
    item->params = params;
    item->value = value;
    item->first = first;
    item->second = second;
    item->third = third;
    if (AddWorkItem(item, kMaxQueuedCommands)) return true;
  }
  Log(1, "%s: cannot send message (%d) to thread", function, message_id);
  return false;
}

int CBasePTZComm::StartMove(IIPParams* params, int direction, int speed) {
  int speed0 = 0;
  int speed1 = 0;
  ConvertMoveSpeed(direction, speed, speed0, speed1);
  return PostCommand(MSG_MOVE, "kalmora::CBasePTZComm::StartMove", 0, params, direction, speed0, speed1, 0) ? 1
                                                                                                             : -18;
}

int CBasePTZComm::StartIris(IIPParams* params, bool positive, int speed) {
  return PostCommand(MSG_IRIS, "kalmora::CBasePTZComm::StartIris", positive ? kIrisPositive : kIrisNegative, params,
                     ConvertIrisSpeed(speed), 0, 0, 0)
             ? 1
             : -18;
}

int CBasePTZComm::StartFocus(IIPParams* params, bool negative, int speed) {
  return PostCommand(MSG_FOCUS, "kalmora::CBasePTZComm::StartFocus", negative ? kFocusNegative : kFocusPositive,
                     params, ConvertFocusSpeed(speed), 0, 0, 0)
             ? 1
             : -18;
}

int CBasePTZComm::AreaZoom(IIPParams* params, int a, int b, int c, int d) {
  return PostCommand(MSG_AREAZOOM, "kalmora::CBasePTZComm::AreaZoom", 0, params, a, b, c, d) ? 1 : -18;
}

int CBasePTZComm::Unzoom(IIPParams* params, int a) {
  return PostCommand(MSG_UNZOOM, "kalmora::CBasePTZComm::Unzoom", 0, params, a, 0, 0, 0) ? 1 : -18;
}

int CBasePTZComm::Center(IIPParams* params, int a, int b, int c) {
  return PostCommand(MSG_CENTER, "kalmora::CBasePTZComm::Center", 0, params, a, b, c, 0) ? 1 : -18;
}

bool CBasePTZComm::StopMoving(IIPParams* params) {
  return PostCommand(MSG_STOP, "kalmora::CBasePTZComm::StopMoving", kStopPanTilt, params, 0, 0, 0, 0);
}

bool CBasePTZComm::StopZooming(IIPParams* params) {
  return PostCommand(MSG_STOP, "kalmora::CBasePTZComm::StopZooming", kStopZoom, params, 0, 0, 0, 0);
}

bool CBasePTZComm::StopFocusing(IIPParams* params) {
  return PostCommand(MSG_STOP, "kalmora::CBasePTZComm::StopFocusing", kStopFocus, params, 0, 0, 0, 0);
}

bool CBasePTZComm::StopIrisChanging(IIPParams* params) {
  return PostCommand(MSG_STOP, "kalmora::CBasePTZComm::StopIrisChanging", kStopIris, params, 0, 0, 0, 0);
}

}  // namespace kalmora
