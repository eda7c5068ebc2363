#include "ptz_words.h"

namespace tessavirn_host {
namespace {

constexpr PtzMotion kMotions[] = {
    {"move", "left", "StartMove", 0, nullptr},
    {"move", "right", "StartMove", 1, nullptr},
    {"move", "up", "StartMove", 2, nullptr},
    {"move", "down", "StartMove", 3, nullptr},
    {"move", "upleft", "StartMove", 4, nullptr},
    {"move", "upright", "StartMove", 5, nullptr},
    {"move", "downleft", "StartMove", 6, nullptr},
    {"move", "downright", "StartMove", 7, nullptr},
    {"zoom", "in", "StartZoomPlus", -1, &kalmora::IIPPTZApi::StartZoomPlus},
    {"zoom", "out", "StartZoomMinus", -1, &kalmora::IIPPTZApi::StartZoomMinus},
    {"focus", "near", "StartFocusMinus", -1, &kalmora::IIPPTZApi::StartFocusMinus},
    {"focus", "far", "StartFocusPlus", -1, &kalmora::IIPPTZApi::StartFocusPlus},
    {"iris", "open", "StartIrisPlus", -1, &kalmora::IIPPTZApi::StartIrisPlus},
    {"iris", "close", "StartIrisMinus", -1, &kalmora::IIPPTZApi::StartIrisMinus},
};

}  // namespace

const PtzMotion* FindPtzMotion(std::string_view kind, std::string_view word) {
  for (const auto& motion : kMotions) {
    if (kind == motion.kind && word == motion.word) return &motion;
  }
  return nullptr;
}

std::string PtzMotionWords() {
  std::string text;
  std::string_view kind;
  for (const auto& motion : kMotions) {
    if (kind != motion.kind) {
      if (!text.empty()) text += "; ";
      kind = motion.kind;
      text += std::string(kind) + ": ";
    } else {
      text += ", ";
    }
    text += motion.word;
  }
  return text;
}

int StartPtzMotion(kalmora::IIPPTZApi& control, const PtzMotion& motion, int speed) {
  return motion.start == nullptr ? control.StartMove(motion.direction, speed) : (control.*motion.start)(speed);
}

std::string PtzCallText(const PtzMotion& motion, int speed) {
  const std::string direction = motion.start == nullptr ? std::to_string(motion.direction) + ", " : "";
  return std::string(motion.call) + "(" + direction + std::to_string(speed) + ")";
}

std::string PtzStatusText(int status) {
  const char* meaning = "unknown status";
  switch (status) {
    case 1: meaning = "done"; break;
    case -1: meaning = "failed"; break;
    case -3: meaning = "no capability record"; break;
    case -18: meaning = "not queued / not available"; break;
    case -23: meaning = "no such preset or camera refused the recall"; break;
    case -26: meaning = "preset list full"; break;
    default: break;
  }
  return "status " + std::to_string(status) + " (" + meaning + ")";
}

}  // namespace tessavirn_host
