// The simulator's clips cut into frames as the driver hands them to the host.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "camsim/h264_clip.h"
#include "camsim/mpeg4_clip.h"
#include "picture_transcoder.h"

namespace tessavirn_host {

using Bytes = std::vector<std::uint8_t>;

struct DriverFrame {
  Bytes bytes;
  bool key = false;
};

inline void Append(Bytes& to, std::string_view bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// A clip as the driver hands it over. H.264: an access unit per frame with 3-byte start codes,
// the parameter sets in front of each IDR picture, an access unit delimiter at the end. MPEG-4: a
// VOP per frame, the configuration header in front of each intra VOP.
inline std::vector<DriverFrame> DriverFrames(PictureTranscoder::Codec codec, const std::string& path) {
  std::vector<DriverFrame> frames;
  std::string error;
  if (codec == PictureTranscoder::Codec::kH264) {
    camsim::H264Clip clip;
    EXPECT_TRUE(clip.LoadFile(path, &error)) << error;
    Bytes pending;
    for (const camsim::ClipUnit& unit : clip.units()) {
      for (const std::string& nal : unit.nal_units) Append(pending, std::string("\0\0\1", 3) + nal);
      if (unit.parameter_sets) continue;
      Append(pending, std::string_view("\0\0\1\x09\x30", 5));
      frames.push_back({std::exchange(pending, {}), unit.idr});
    }
    return frames;
  }
  camsim::Mpeg4Clip clip;
  EXPECT_TRUE(clip.LoadFile(path, &error)) << error;
  for (const camsim::Mpeg4ClipPicture& picture : clip.pictures()) {
    DriverFrame& frame = frames.emplace_back(DriverFrame{{}, picture.intra});
    Append(frame.bytes, (picture.intra ? clip.config() : std::string()) + picture.bytes);
  }
  return frames;
}

}  // namespace tessavirn_host
