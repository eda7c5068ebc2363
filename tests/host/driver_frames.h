// The simulator's clips cut into frames as the driver hands them to the host.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "camsim/h264_clip.h"
#include "camsim/mpeg4_clip.h"

namespace tessavirn_host {

using Bytes = std::vector<std::uint8_t>;

struct DriverFrame {
  Bytes bytes;
  bool key = false;
};

inline void Append(Bytes& to, std::string_view bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// An H.264 clip as the driver hands it over: an access unit per frame with 3-byte start codes,
// the parameter sets in front of each IDR picture, an access unit delimiter at the end.
inline std::vector<DriverFrame> H264Frames(const std::string& path) {
  camsim::H264Clip clip;
  std::string error;
  EXPECT_TRUE(clip.LoadFile(path, &error)) << error;
  std::vector<DriverFrame> frames;
  Bytes pending;
  for (const camsim::ClipUnit& unit : clip.units()) {
    for (const std::string& nal : unit.nal_units) {
      Append(pending, std::string_view("\0\0\1", 3));
      Append(pending, nal);
    }
    if (unit.parameter_sets) continue;
    Append(pending, std::string_view("\0\0\1\x09\x30", 5));
    frames.push_back({std::move(pending), unit.idr});
    pending.clear();
  }
  return frames;
}

// An MPEG-4 clip as the driver hands it over: a VOP per frame, the configuration header in front
// of each intra VOP.
inline std::vector<DriverFrame> Mpeg4Frames(const std::string& path) {
  camsim::Mpeg4Clip clip;
  std::string error;
  EXPECT_TRUE(clip.LoadFile(path, &error)) << error;
  std::vector<DriverFrame> frames;
  for (const camsim::Mpeg4ClipPicture& picture : clip.pictures()) {
    DriverFrame frame;
    if (picture.intra) Append(frame.bytes, clip.config());
    Append(frame.bytes, picture.bytes);
    frame.key = picture.intra;
    frames.push_back(std::move(frame));
  }
  return frames;
}

}  // namespace tessavirn_host
