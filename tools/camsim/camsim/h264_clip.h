// An H.264 Annex B clip taken apart into the access units the camera sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

// NAL unit types the clip reader tells apart (ITU-T H.264 table 7-1).
enum NalType : std::uint8_t {
  kNalSlice = 1,
  kNalIdrSlice = 5,
  kNalSei = 6,
  kNalSps = 7,
  kNalPps = 8,
  kNalAccessUnitDelimiter = 9,
};

constexpr std::uint8_t NalTypeOf(std::string_view nal) {
  return nal.empty() ? 0 : static_cast<std::uint8_t>(nal[0] & 0x1F);
}
// Coded slices: types 1 to 5.
constexpr bool IsSliceNal(std::uint8_t type) { return type >= 1 && type <= 5; }

// One access unit as it goes out: either the parameter sets (SPS, PPS, SEI) that precede an IDR
// picture, or the slices of one picture. NAL units are stored without start codes.
struct ClipUnit {
  std::vector<std::string> nal_units;
  bool parameter_sets = false;
  bool idr = false;
  // What a receiver rebuilds from it: a 3-byte start code before every NAL unit.
  std::size_t AnnexBLength() const;
};

// The NAL units of an Annex B byte stream, without start codes and without the zero bytes that
// may trail a NAL unit before a 4-byte start code. Bytes before the first start code are ignored.
std::vector<std::string> SplitAnnexB(std::string_view stream);

// A clip: its access units in sending order. Access units are split at an access unit delimiter,
// at a non-slice NAL unit that follows a slice, and at a slice with first_mb_in_slice 0 that
// follows a slice. Delimiters are dropped; the non-slice units in front of a picture that carry
// an SPS become a parameter-set unit of their own; an IDR picture that comes without one gets a
// copy of the last SPS and PPS in front.
//
// Immutable once loaded; shared read-only between the media threads.
class H264Clip {
 public:
  // The rate the build makes its clips at; Annex B carries no timing of its own.
  static constexpr int kFrameRate = 25;

  // False with a reason for a missing or unreadable file or one that is no H.264 stream.
  bool LoadFile(const std::string& path, std::string* error);
  bool Parse(std::string_view stream, std::string* error);

  const std::vector<ClipUnit>& units() const { return units_; }
  std::size_t picture_count() const { return picture_count_; }
  // The first SPS and PPS of the clip, for the session description.
  const std::string& sps() const { return sps_; }
  const std::string& pps() const { return pps_; }
  const std::string& path() const { return path_; }

 private:
  void AddAccessUnit(std::vector<std::string> nal_units);

  std::vector<ClipUnit> units_;
  std::size_t picture_count_ = 0;
  std::string sps_;
  std::string pps_;
  std::string last_sps_;
  std::string last_pps_;
  std::string path_;
};

}  // namespace camsim
