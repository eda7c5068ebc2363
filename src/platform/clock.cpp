#include "platform/clock.h"

#include <chrono>
#include <limits>
#include <ratio>

namespace kalmora {
namespace {

using TimeUnits = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;

// 1601-01-01 to 1970-01-01: 369 years with 89 leap days.
constexpr std::int64_t kUnixEpochDays = 134'774;
constexpr std::int64_t kUnixEpochOffset = kUnixEpochDays * 864'000'000'000;

constexpr std::uint64_t kUnitsPerSecond = 10'000'000;
constexpr std::uint64_t kUnitsPerMinute = 60 * kUnitsPerSecond;
constexpr std::uint64_t kUnitsPerHour = 60 * kUnitsPerMinute;
constexpr std::uint64_t kUnitsPerDay = 24 * kUnitsPerHour;

constexpr std::uint64_t kLargestConvertible =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::uint16_t U16(std::uint64_t value) { return static_cast<std::uint16_t>(value); }

}  // namespace

std::uint64_t Now() {
  const std::int64_t since_unix =
      std::chrono::duration_cast<TimeUnits>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  // A clock set before 1601 (or absurdly far ahead) has no value on this scale.
  if (since_unix < -kUnixEpochOffset ||
      since_unix > std::numeric_limits<std::int64_t>::max() - kUnixEpochOffset) {
    return 0;
  }
  return static_cast<std::uint64_t>(since_unix + kUnixEpochOffset);
}

bool ToCalendar(std::uint64_t time, ipcapture::SystemTime& out) {
  if (time > kLargestConvertible) return false;
  // At most about 10.7 million days, well inside the range of the civil calendar of <chrono>.
  const std::chrono::sys_days date{
      std::chrono::days{static_cast<std::int64_t>(time / kUnitsPerDay) - kUnixEpochDays}};
  const std::chrono::year_month_day ymd{date};
  const std::uint64_t in_day = time % kUnitsPerDay;

  out.year = static_cast<std::uint16_t>(static_cast<int>(ymd.year()));
  out.month = static_cast<std::uint16_t>(static_cast<unsigned>(ymd.month()));
  out.day_of_week = static_cast<std::uint16_t>(std::chrono::weekday{date}.c_encoding());
  out.day = static_cast<std::uint16_t>(static_cast<unsigned>(ymd.day()));
  out.hour = U16(in_day / kUnitsPerHour);
  out.minute = U16(in_day % kUnitsPerHour / kUnitsPerMinute);
  out.second = U16(in_day % kUnitsPerMinute / kUnitsPerSecond);
  out.milliseconds = U16(in_day % kUnitsPerSecond / kTimeUnitsPerMs);
  return true;
}

std::uint32_t ElapsedMs(std::uint64_t since, std::uint64_t now) {
  if (now <= since) return 0;
  const std::uint64_t ms = (now - since) / kTimeUnitsPerMs;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(ms > kMax ? kMax : ms);
}

std::uint32_t ElapsedMs(std::uint64_t since) { return ElapsedMs(since, Now()); }

}  // namespace kalmora
