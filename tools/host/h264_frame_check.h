#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tessavirn_host {

// The NAL units of an Annex B buffer, found by their start codes (00 00 01, or 00 00 00 01
// whose first zero byte the scan leaves to the unit before). Emulation-prevention bytes
// (00 00 03) need no removal for this: no start code can contain one.
struct AnnexBScan {
  std::vector<std::uint8_t> nal_types;  // in buffer order
  bool starts_with_start_code = false;
  bool ends_with_access_unit_delimiter = false;  // the last bytes are 00 00 01 09 30
};

AnnexBScan ScanAnnexB(std::span<const std::uint8_t> data);

// Faults of a delivered H.264 frame, as a bit set.
enum H264FrameProblem : unsigned {
  kH264Empty = 1u << 0,
  kH264NoStartCode = 1u << 1,           // does not begin with 00 00 01 or 00 00 00 01
  kH264NoTrailingDelimiter = 1u << 2,   // does not end with 00 00 01 09 30
  kH264NoSlice = 1u << 3,               // no coded slice (NAL types 1 to 5)
  kH264KeyWithoutSps = 1u << 4,         // key frame without a sequence parameter set (7)
  kH264KeyWithoutPps = 1u << 5,         // key frame without a picture parameter set (8)
};

// The structure check of one frame the driver delivered: it must be a whole access unit in
// Annex B form ending with the access unit delimiter the driver appends; a key frame must carry
// its parameter sets. 0 when the frame passes.
unsigned CheckH264Frame(std::span<const std::uint8_t> data, bool key_frame);

// The problems of a CheckH264Frame result in words, separated by "; "; empty for 0.
std::string DescribeH264Problems(unsigned problems);

}  // namespace tessavirn_host
