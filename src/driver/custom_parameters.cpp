#include "driver/custom_parameters.h"


namespace kalmora {

std::optional<std::int32_t> ParseDecimalInteger(std::string_view text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Accumulate in 64 bits with an early stop, so a long run of digits cannot overflow.
  std::int64_t value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > std::int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::optional<std::int32_t> ParseDecimalInteger(const char* text) {
  if (text == nullptr) return std::nullopt;
  return ParseDecimalInteger(std::string_view(text));
}

const char* CCustomParameters::Text(std::uint32_t index) const {
  const auto it = values_.find(index);
  return it == values_.end() ? nullptr : it->second.c_str();
}

std::int32_t CCustomParameters::Integer(std::uint32_t index) const {
  return ParseDecimalInteger(Text(index)).value_or(kNoCustomInteger);
}

}  // namespace kalmora
