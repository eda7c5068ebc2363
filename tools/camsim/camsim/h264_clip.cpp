#include "camsim/h264_clip.h"

#include "camsim/media_source.h"

namespace camsim {
namespace {

constexpr std::size_t kStartCodeLength = 3;

// first_mb_in_slice is the first ue(v) field of the slice header: a leading 1 bit codes 0.
bool StartsPicture(std::string_view slice) {
  return slice.size() > 1 && (static_cast<unsigned char>(slice[1]) & 0x80) != 0;
}

}  // namespace

std::size_t ClipUnit::AnnexBLength() const {
  std::size_t length = 0;
  for (const std::string& nal : nal_units) length += kStartCodeLength + nal.size();
  return length;
}

std::vector<std::string> SplitAnnexB(std::string_view stream) {
  std::vector<std::string> units;
  std::size_t begin = std::string_view::npos;
  std::size_t i = 0;
  auto finish = [&](std::size_t end) {
    if (begin == std::string_view::npos) return;
    while (end > begin && stream[end - 1] == '\0') --end;
    if (end > begin) units.emplace_back(stream.substr(begin, end - begin));
  };
  while (i + kStartCodeLength <= stream.size()) {
    if (stream[i] == '\0' && stream[i + 1] == '\0' && stream[i + 2] == '\1') {
      finish(i);
      i += kStartCodeLength;
      begin = i;
    } else {
      ++i;
    }
  }
  finish(stream.size());
  return units;
}

bool H264Clip::LoadFile(const std::string& path, std::string* error) {
  std::string bytes;
  if (!ReadClipFile(path, &bytes, error)) return false;
  std::string why;
  if (!Parse(bytes, &why)) {
    if (error) *error = path + ": " + why;
    return false;
  }
  path_ = path;
  return true;
}

bool H264Clip::Parse(std::string_view stream, std::string* error) {
  auto fail = [error](const char* what) {
    if (error) *error = what;
    return false;
  };
  *this = H264Clip();
  const bool starts_with_start_code = stream.starts_with(std::string_view("\0\0\1", 3)) ||
                                      stream.starts_with(std::string_view("\0\0\0\1", 4));
  if (!starts_with_start_code) return fail("not an H.264 Annex B stream (no start code)");
  const std::vector<std::string> nal_units = SplitAnnexB(stream);
  std::vector<std::string> pending;
  bool pending_has_slice = false;
  for (const std::string& nal : nal_units) {
    if ((static_cast<unsigned char>(nal[0]) & 0x80) != 0) {
      return fail("not an H.264 stream (a NAL unit has its forbidden bit set)");
    }
    const std::uint8_t type = NalTypeOf(nal);
    if (type == 0 || type > 23) return fail("not an H.264 stream (reserved NAL unit type)");
    const bool slice = IsSliceNal(type);
    const bool boundary = type == kNalAccessUnitDelimiter ||
                          (pending_has_slice && (!slice || StartsPicture(nal)));
    if (boundary && !pending.empty()) {
      AddAccessUnit(std::move(pending));
      pending.clear();
      pending_has_slice = false;
    }
    if (type == kNalAccessUnitDelimiter) continue;
    pending.push_back(nal);
    pending_has_slice = pending_has_slice || slice;
  }
  if (!pending.empty()) AddAccessUnit(std::move(pending));
  if (picture_count_ == 0) return fail("the stream holds no coded picture");
  if (sps_.empty() || pps_.empty()) return fail("the stream holds no SPS and PPS");
  if (!units_.front().parameter_sets || units_.size() < 2 || !units_[1].idr) {
    return fail("the stream does not begin with parameter sets and an IDR picture");
  }
  return true;
}

void H264Clip::AddAccessUnit(std::vector<std::string> nal_units) {
  std::size_t first_slice = 0;
  while (first_slice < nal_units.size() && !IsSliceNal(NalTypeOf(nal_units[first_slice]))) {
    ++first_slice;
  }
  const bool has_slice = first_slice < nal_units.size();
  bool leading_sps = false;
  for (std::size_t i = 0; i < first_slice; ++i) {
    const std::uint8_t type = NalTypeOf(nal_units[i]);
    if (type == kNalSps) {
      leading_sps = true;
      last_sps_ = nal_units[i];
      if (sps_.empty()) sps_ = nal_units[i];
    } else if (type == kNalPps) {
      last_pps_ = nal_units[i];
      if (pps_.empty()) pps_ = nal_units[i];
    }
  }
  ClipUnit header;
  header.parameter_sets = true;
  ClipUnit picture;
  if (leading_sps) {
    header.nal_units.assign(nal_units.begin(), nal_units.begin() + first_slice);
    picture.nal_units.assign(nal_units.begin() + first_slice, nal_units.end());
  } else {
    picture.nal_units = std::move(nal_units);
  }
  for (const std::string& nal : picture.nal_units) {
    if (NalTypeOf(nal) == kNalIdrSlice) picture.idr = true;
  }
  if (picture.idr && !leading_sps && !last_sps_.empty() && !last_pps_.empty()) {
    header.nal_units = {last_sps_, last_pps_};
  }
  if (!header.nal_units.empty()) units_.push_back(std::move(header));
  // Non-slice units with no picture after them (the end of the stream) are dropped.
  if (has_slice) {
    units_.push_back(std::move(picture));
    ++picture_count_;
  }
}

}  // namespace camsim
