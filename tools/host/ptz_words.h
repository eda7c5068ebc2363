#pragma once

#include <string>
#include <string_view>

#include "host/ptz.h"

namespace tessavirn_host {

// A motion of the PTZ head as the commands name it: a move in a direction or a lens motion.
struct PtzMotion {
  const char* kind;  // "move", "zoom", "focus", "iris"
  const char* word;  // move: left ... downright; zoom: in|out; focus: near|far; iris: open|close
  const char* call;  // the control's start call
  int direction;     // moves: StartMove's direction; -1 for lens motions
  int (kalmora::IIPPTZApi::*start)(int);  // lens motions; null for moves
};

// The motion of a kind and word, or null.
const PtzMotion* FindPtzMotion(std::string_view kind, std::string_view word);

// The words every kind takes, for messages: "move: left, right, ...; zoom: in, out; ...".
std::string PtzMotionWords();

// Starts the motion at speed on the control; returns the control's status.
int StartPtzMotion(kalmora::IIPPTZApi& control, const PtzMotion& motion, int speed);

// The start call as it is printed: "StartMove(0, 16)", "StartZoomPlus(8)".
std::string PtzCallText(const PtzMotion& motion, int speed);

// A PTZ status in words: "status 1 (done)", "status -26 (preset list full)".
std::string PtzStatusText(int status);

}  // namespace tessavirn_host
