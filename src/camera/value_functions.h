// Number and text functions that go with camera parameter replies.
#pragma once

#include <cstdarg>

#include <cstdint>
#include <string>
#include <string_view>

namespace kalmora {

// Firmware version as cameras write and read it: "%u.%u.%u".
struct FirmwareVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;

  friend bool operator==(const FirmwareVersion&, const FirmwareVersion&) = default;
};

// Reads a number at the start of text the way "%d" does: leading white space, an optional sign,
// decimal digits, and whatever follows is left alone. False when there is no digit or the number
// lies outside int, where "%d" has no defined result; value is then unchanged.
bool ScanDecimal(std::string_view text, int& value);

// True for an optional "+" or "-" followed by decimal digits only, within int. The value is 0
// on failure.
bool ParseInt(std::string_view text, int& value);

// True when text is exactly one floating-point number, as "%f" reads it (leading white space is
// allowed, nothing may follow); the value is rounded by adding 0.5 and truncating. Numbers that
// are not finite or do not fit int after rounding are refused. The value is 0 on failure.
bool ParseRate(std::string_view text, int& value);

// Without leading and trailing spaces and tabs.
std::string Trim(std::string_view text);

// ASCII lower-case copy; other bytes are kept as they are.
std::string ToLower(std::string_view text);

// printf-style formatting into a text of exactly the needed length; empty when the format
// cannot be applied.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same with the arguments already collected.
std::string FormatTextV(const char* format, std::va_list args) __attribute__((format(printf, 1, 0)));

std::string FormatVersion(const FirmwareVersion& version);

}  // namespace kalmora
