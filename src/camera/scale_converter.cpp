#include "camera/scale_converter.h"

#include <algorithm>
#include <cmath>

namespace kalmora {

void CScaleConverter::SetTargetRange(std::uint32_t value) {
  target_min_ = std::min<std::uint32_t>(value, 1);
  target_max_ = std::max<std::uint32_t>(value, 1);
}

std::uint32_t CScaleConverter::Convert(std::uint32_t value) const {
  // Differences and sums wrap as unsigned 32-bit numbers.
  const std::uint32_t source_span = source_max_ - source_min_;
  const std::uint32_t target_span = target_max_ - target_min_;
  if (source_span == 0 || target_span == 0) {
    return static_cast<std::uint32_t>(target_min_ + target_max_) / 2;
  }
  if (source_min_ < source_max_) value = std::clamp(value, source_min_, source_max_);
  const double scaled = static_cast<double>(static_cast<std::uint32_t>(value - source_min_)) *
                            static_cast<double>(target_span) / static_cast<double>(source_span) +
                        0.5;
  // The offset is at most the target span here (the value was clamped and the source range
  // is 1 to 16), so it fits a signed 64-bit integer; its low 32 bits are added.
  const auto offset = static_cast<std::int64_t>(std::trunc(scaled));
  return target_min_ + static_cast<std::uint32_t>(offset);
}

}  // namespace kalmora
