// Sliding window of the most recent samples with their mean.
#pragma once

#include <cstddef>
#include <vector>

namespace kalmora {

// Add is constant time: a running sum stands in for summing the window, and the samples sit in a
// ring that stops allocating once the window is full (it is fed once per frame on a receive
// thread). For 32-bit integer samples the double sum stays exact: a full window of 1000 sums to
// below 2^53. Not thread-safe; the owner says which thread uses it.
template <typename T>
class TStatisticsHelper {
 public:
  static constexpr std::size_t kDefaultWindow = 1000;

  // A window of 0 would hold nothing yet still take the newest sample; it is taken as 1.
  explicit TStatisticsHelper(std::size_t window = kDefaultWindow)
      : window_(window == 0 ? 1 : window) {}
  virtual ~TStatisticsHelper() = default;
  TStatisticsHelper(const TStatisticsHelper&) = default;
  TStatisticsHelper& operator=(const TStatisticsHelper&) = default;
  TStatisticsHelper(TStatisticsHelper&&) noexcept = default;
  TStatisticsHelper& operator=(TStatisticsHelper&&) noexcept = default;

  // Drops the oldest sample when the window is full, then takes the new one.
  void Add(T sample) {
    if (samples_.size() < window_) {
      samples_.push_back(sample);
    } else {
      sum_ -= static_cast<double>(samples_[oldest_]);
      samples_[oldest_] = sample;
      oldest_ = (oldest_ + 1) % window_;
    }
    sum_ += static_cast<double>(sample);
  }

  void Clear() {
    samples_.clear();
    oldest_ = 0;
    sum_ = 0.0;
  }

  // 0 when empty.
  double Mean() const {
    return samples_.empty() ? 0.0 : sum_ / static_cast<double>(samples_.size());
  }
  std::size_t Count() const { return samples_.size(); }
  double Sum() const { return sum_; }
  std::size_t Window() const { return window_; }

 private:
  std::vector<T> samples_;  // ring once full; the oldest sample is at oldest_
  std::size_t oldest_ = 0;
  double sum_ = 0.0;
  std::size_t window_;
};

}  // namespace kalmora
