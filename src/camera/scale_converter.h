// Linear mapping of a value from one unsigned range onto another, such as a host PTZ speed
// (1 to 16) onto the speed range a camera reports.
#pragma once

#include <cstdint>

namespace kalmora {

// Not synchronised: the owner sets the range and converts on one thread at a time.
class CScaleConverter {
 public:
  CScaleConverter() = default;
  virtual ~CScaleConverter() = default;

  // Target becomes 1 to value, or value to 1 when value is 0.
  void SetTargetRange(std::uint32_t value);
  // The value, clamped into the source range, mapped onto the target range and rounded; the
  // middle of the target when either range is a single point.
  std::uint32_t Convert(std::uint32_t value) const;

 private:
  std::uint32_t source_min_ = 1;
  std::uint32_t source_max_ = 16;
  std::uint32_t target_min_ = 0;
  std::uint32_t target_max_ = 0;
};

}  // namespace kalmora
