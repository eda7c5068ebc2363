#include "camera/value_functions.h"

#include <locale.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace kalmora {
namespace {

// White space as the C locale's isspace, which "%d" and "%f" skip.
bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads an optional sign and at least one digit from the start of text; stops at the first
// other character. Accumulates in 64 bits with an early stop, so any run of digits is safe.
bool ReadSignedDigits(std::string_view text, int& value) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos >= text.size() || !IsDigit(text[pos])) return false;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<int>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
    magnitude = magnitude * 10 + (text[pos] - '0');
    if (magnitude > kLimit) return false;
  }
  const std::int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value > std::numeric_limits<int>::max()) return false;
  value = static_cast<int>(signed_value);
  return true;
}

// Cameras write rates with a decimal point whatever locale the host process runs in, so they
// are read in the C locale. Created once and kept for the life of the process.
locale_t CNumericLocale() {
  static const locale_t locale = newlocale(LC_NUMERIC_MASK, "C", nullptr);
  return locale;
}

}  // namespace

bool ScanDecimal(std::string_view text, int& value) {
  std::size_t pos = 0;
  while (pos < text.size() && IsCSpace(text[pos])) ++pos;
  return ReadSignedDigits(text.substr(pos), value);
}

bool ParseInt(std::string_view text, int& value) {
  value = 0;
  std::size_t digits = 0;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) digits = 1;
  if (digits == text.size()) return false;
  for (std::size_t i = digits; i < text.size(); ++i) {
    if (!IsDigit(text[i])) return false;
  }
  int parsed = 0;
  if (!ReadSignedDigits(text, parsed)) return false;
  value = parsed;
  return true;
}

bool ParseRate(std::string_view text, int& value) {
  value = 0;
  // strtof needs a terminated copy; an embedded NUL stops it early and so counts as a
  // trailing character, as it should.
  const std::string copy(text);
  const char* begin = copy.c_str();
  char* end = nullptr;
  const locale_t locale = CNumericLocale();
  const float number = locale != nullptr ? strtof_l(begin, &end, locale) : std::strtof(begin, &end);
  if (end == begin || end != begin + copy.size()) return false;
  if (!std::isfinite(number)) return false;
  const double rounded = std::trunc(static_cast<double>(number) + 0.5);
  if (rounded < std::numeric_limits<int>::min() || rounded > std::numeric_limits<int>::max()) {
    return false;
  }
  value = static_cast<int>(rounded);
  return true;
}

std::string Trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return std::string(text.substr(first, last - first + 1));
}

std::string ToLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string FormatTextV(const char* format, std::va_list args) {
  if (format == nullptr) return {};
  std::va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<std::size_t>(length));
    std::vsnprintf(text.data(), text.size() + 1, format, args);
  }
  return text;
}

std::string FormatText(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = FormatTextV(format, args);
  va_end(args);
  return text;
}

std::string FormatVersion(const FirmwareVersion& version) {
  return FormatText("%u.%u.%u", static_cast<unsigned>(version.major),
                    static_cast<unsigned>(version.minor), static_cast<unsigned>(version.build));
}

}  // namespace kalmora
