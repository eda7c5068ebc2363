// Wall-clock time on the 100-ns scale since 1601-01-01 UTC, and the small helpers the channels use
// for elapsed times. Always UTC: a local clock is never read.
#pragma once

#include <cstdint>
#include <functional>

#include "host/types.h"

namespace kalmora {

// A source of the current time value. Classes that read the clock take one, so tests can inject a
// fake clock; Now is the default everywhere.
using ClockFn = std::function<std::uint64_t()>;

// 100-ns units per millisecond.
inline constexpr std::uint64_t kTimeUnitsPerMs = 10'000;

// The current system time in 100-ns units since 1601-01-01 UTC; 0 if the system clock has no
// value on that scale.
std::uint64_t Now();

// The UTC calendar time of a time value. False, with out untouched, for values above
// 0x7FFFFFFFFFFFFFFF: the scale is signed on the host platform, so its calendar ends in year 30828.
bool ToCalendar(std::uint64_t time, ipcapture::SystemTime& out);

// Milliseconds from since to now: 0 when now is not later than since. Saturates at UINT32_MAX
// (about 49.7 days) rather than wrapping, so a long-stale time never looks recent.
std::uint32_t ElapsedMs(std::uint64_t since, std::uint64_t now);
std::uint32_t ElapsedMs(std::uint64_t since);

}  // namespace kalmora
