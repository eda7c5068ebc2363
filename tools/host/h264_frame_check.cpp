#include "h264_frame_check.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tessavirn_host {
namespace {

constexpr std::array<std::uint8_t, 5> kAccessUnitDelimiter = {0x00, 0x00, 0x01, 0x09, 0x30};

}  // namespace

AnnexBScan ScanAnnexB(std::span<const std::uint8_t> data) {
  AnnexBScan scan;
  const std::size_t n = data.size();
  scan.starts_with_start_code = (n >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) ||
                                (n >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1);
  scan.ends_with_access_unit_delimiter =
      n >= kAccessUnitDelimiter.size() &&
      std::equal(kAccessUnitDelimiter.begin(), kAccessUnitDelimiter.end(), data.end() - kAccessUnitDelimiter.size());
  // i is where the 01 of a start code would be: memchr finds the candidates (one byte in 256 of
  // coded data), and the two bytes before tell whether it is one. The NAL header after it must
  // be there too.
  const std::uint8_t* bytes = data.data();
  std::size_t i = 2;
  while (i + 1 < n) {
    const auto* one = static_cast<const std::uint8_t*>(std::memchr(bytes + i, 1, n - 1 - i));
    if (one == nullptr) break;
    i = static_cast<std::size_t>(one - bytes);
    if (bytes[i - 1] == 0 && bytes[i - 2] == 0) {
      scan.nal_types.push_back(bytes[i + 1] & 0x1F);
      i += 2;  // past the NAL header: start codes do not overlap it
    } else {
      ++i;
    }
  }
  return scan;
}

unsigned CheckH264Frame(std::span<const std::uint8_t> data, bool key_frame) {
  const AnnexBScan scan = ScanAnnexB(data);
  const auto has = [&](auto predicate) {
    return std::any_of(scan.nal_types.begin(), scan.nal_types.end(), predicate);
  };
  unsigned problems = 0;
  if (data.empty()) problems |= kH264Empty;
  if (!scan.starts_with_start_code) problems |= kH264NoStartCode;
  if (!scan.ends_with_access_unit_delimiter) problems |= kH264NoTrailingDelimiter;
  if (!has([](std::uint8_t t) { return t >= 1 && t <= 5; })) problems |= kH264NoSlice;
  if (key_frame && !has([](std::uint8_t t) { return t == 7; })) problems |= kH264KeyWithoutSps;
  if (key_frame && !has([](std::uint8_t t) { return t == 8; })) problems |= kH264KeyWithoutPps;
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
