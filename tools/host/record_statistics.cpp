#include "record_statistics.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace tessavirn_host {

std::optional<std::int64_t> SystemTimeToEpochMs(const kalmora::ipcapture::SystemTime& utc) {
  if (utc.year < 1970 || utc.month < 1 || utc.month > 12 || utc.day < 1 || utc.day > 31 || utc.hour > 23 ||
      utc.minute > 59 || utc.second > 59 || utc.milliseconds > 999) {
    return std::nullopt;
  }
  // Calendar arithmetic, not timegm: it is called for every frame, and timegm searches.
  const std::chrono::year_month_day date{std::chrono::year{utc.year}, std::chrono::month{utc.month},
                                         std::chrono::day{utc.day}};
  if (!date.ok()) return std::nullopt;  // a day past the month's end (31 April)
  const std::int64_t days = std::chrono::sys_days{date}.time_since_epoch().count();
  const std::int64_t seconds = ((days * 24 + utc.hour) * 60 + utc.minute) * 60 + utc.second;
  return seconds * 1000 + utc.milliseconds;
}

SpacingStats AnalyzeSpacing(std::span<const std::int64_t> timestamps_ms) {
  SpacingStats stats;
  if (timestamps_ms.size() < 2) return stats;
  std::vector<double> gaps;
  gaps.reserve(timestamps_ms.size() - 1);
  for (std::size_t i = 1; i < timestamps_ms.size(); ++i) {
    gaps.push_back(static_cast<double>(timestamps_ms[i] - timestamps_ms[i - 1]));
  }
  stats.intervals = gaps.size();
  std::vector<double> sorted = gaps;
  std::sort(sorted.begin(), sorted.end());
  stats.min_ms = sorted.front();
  stats.max_ms = sorted.back();
  const std::size_t mid = sorted.size() / 2;
  stats.median_ms = sorted.size() % 2 == 1 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
  // Without a positive median (stamps all equal, or going backwards) there is no frame spacing
  // to measure gaps by.
  if (stats.median_ms <= 0) return stats;
  for (double gap : gaps) {
    if (gap > 1.5 * stats.median_ms) {
      stats.estimated_dropped += static_cast<std::uint64_t>(std::llround(gap / stats.median_ms) - 1);
    }
  }
  return stats;
}

void AddCounters(RecordCounters& total, const RecordCounters& more) {
  total.frames += more.frames;
  total.key_frames += more.key_frames;
  total.bytes += more.bytes;
  total.damaged += more.damaged;
  total.refused += more.refused;
  total.without_time_stamp += more.without_time_stamp;
  total.no_signal_notices += more.no_signal_notices;
  for (const auto& [type, count] : more.frames_by_type) total.frames_by_type[type] += count;
}

Rates RatesBetween(const RecordCounters& before, const RecordCounters& after, double seconds) {
  Rates rates;
  if (seconds <= 0) return rates;
  rates.frames_per_second = static_cast<double>(after.frames - before.frames) / seconds;
  rates.kilobits_per_second = static_cast<double>(after.bytes - before.bytes) * 8.0 / 1000.0 / seconds;
  return rates;
}

}  // namespace tessavirn_host
