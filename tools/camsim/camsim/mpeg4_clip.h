// An MPEG-4 visual elementary stream taken apart into its configuration header and pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

struct Mpeg4ClipPicture {
  std::string bytes;   // from its GOV header if one comes first, else from its VOP start code
  bool intra = false;  // vop_coding_type 00
};

// A clip: the configuration header (visual object sequence, visual object, video object layer
// and any user data: from 00 00 01 B0 up to the first GOV 00 00 01 B3 or VOP 00 00 01 B6) and the
// pictures. A picture runs from its GOV or VOP start code up to the next of either, a repeated
// configuration header or a sequence end code; repeated configuration headers (encoders put one
// before each intra picture) must equal the first and are dropped, as the packetiser puts the
// header back in front of every intra picture.
//
// Immutable once loaded; shared read-only between the media threads.
class Mpeg4Clip {
 public:
  bool LoadFile(const std::string& path, std::string* error);
  bool Parse(std::string_view stream, std::string* error);

  const std::string& config() const { return config_; }
  const std::vector<Mpeg4ClipPicture>& pictures() const { return pictures_; }
  // profile_and_level_indication, the byte after the sequence start code.
  std::uint8_t profile_level() const {
    return config_.size() > 4 ? static_cast<std::uint8_t>(config_[4]) : 0;
  }
  const std::string& path() const { return path_; }

 private:
  std::string config_;
  std::vector<Mpeg4ClipPicture> pictures_;
  std::string path_;
};

}  // namespace camsim
