#include "h264_frame_check.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tessavirn_host {
namespace {

constexpr std::array<std::uint8_t, 5> kAccessUnitDelimiter = {0x00, 0x00, 0x01, 0x09, 0x30};

// Calls visit(type) for each NAL unit in buffer order until it returns false. The 01 of a start
// code is found with memchr (one byte in 256 of coded data is a candidate), and the two bytes
// before tell whether it is one; the NAL header after it must be there too.
template <typename Visit>
void ForEachNalType(std::span<const std::uint8_t> data, Visit visit) {
  const std::uint8_t* bytes = data.data();
  const std::size_t n = data.size();
  std::size_t i = 2;
  while (i + 1 < n) {
    const auto* one = static_cast<const std::uint8_t*>(std::memchr(bytes + i, 1, n - 1 - i));
    if (one == nullptr) return;
    i = static_cast<std::size_t>(one - bytes);
    if (bytes[i - 1] == 0 && bytes[i - 2] == 0) {
      if (!visit(static_cast<std::uint8_t>(bytes[i + 1] & 0x1F))) return;
      i += 2;  // past the NAL header: start codes do not overlap it
    } else {
      ++i;
    }
  }
}

bool StartsWithStartCode(std::span<const std::uint8_t> data) {
  const std::size_t n = data.size();
  return (n >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) ||
         (n >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1);
}

bool EndsWithAccessUnitDelimiter(std::span<const std::uint8_t> data) {
  return data.size() >= kAccessUnitDelimiter.size() &&
         std::equal(kAccessUnitDelimiter.begin(), kAccessUnitDelimiter.end(), data.end() - kAccessUnitDelimiter.size());
}

}  // namespace

AnnexBScan ScanAnnexB(std::span<const std::uint8_t> data) {
  AnnexBScan scan;
  scan.starts_with_start_code = StartsWithStartCode(data);
  scan.ends_with_access_unit_delimiter = EndsWithAccessUnitDelimiter(data);
  ForEachNalType(data, [&scan](std::uint8_t type) {
    scan.nal_types.push_back(type);
    return true;
  });
  return scan;
}

unsigned CheckH264Frame(std::span<const std::uint8_t> data, bool key_frame) {
  // The scan stops once it has seen all it looks for: a slice is mostly one long NAL unit, and
  // reading it through would cost more than everything else the recorder does with a frame.
  bool slice = false;
  bool sps = !key_frame;
  bool pps = !key_frame;
  ForEachNalType(data, [&](std::uint8_t type) {
    slice = slice || (type >= 1 && type <= 5);
    sps = sps || type == 7;
    pps = pps || type == 8;
    return !(slice && sps && pps);
  });
  unsigned problems = 0;
  if (data.empty()) problems |= kH264Empty;
  if (!StartsWithStartCode(data)) problems |= kH264NoStartCode;
  if (!EndsWithAccessUnitDelimiter(data)) problems |= kH264NoTrailingDelimiter;
  if (!slice) problems |= kH264NoSlice;
  if (!sps) problems |= kH264KeyWithoutSps;
  if (!pps) problems |= kH264KeyWithoutPps;
  return problems;
}

std::string DescribeH264Problems(unsigned problems) {
  static constexpr struct {
    unsigned bit;
    const char* text;
  } kTexts[] = {
      {kH264Empty, "empty"},
      {kH264NoStartCode, "no start code at the beginning"},
      {kH264NoTrailingDelimiter, "no access unit delimiter at the end"},
      {kH264NoSlice, "no coded slice"},
      {kH264KeyWithoutSps, "key frame without a sequence parameter set"},
      {kH264KeyWithoutPps, "key frame without a picture parameter set"},
  };
  std::string text;
  for (const auto& t : kTexts) {
    if ((problems & t.bit) == 0) continue;
    if (!text.empty()) text += "; ";
    text += t.text;
  }
  return text;
}

}  // namespace tessavirn_host
