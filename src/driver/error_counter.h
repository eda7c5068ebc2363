#pragma once

#include <atomic>
#include <cstdint>

// Thins out repeated failure reports of one object: attempts 1 to 14 are reported, then every
// 16th up to 254, every 256th up to 4094 and every 4096th after that. The count never passes
// 65534: it falls back to 4095, so the next attempt (4096) is reported again.
//
// Any thread may ask; a lost update between two threads only shifts the thinning.
class CZELVErrorCounter {
 public:
  CZELVErrorCounter() = default;
  CZELVErrorCounter(const CZELVErrorCounter&) = delete;
  CZELVErrorCounter& operator=(const CZELVErrorCounter&) = delete;
  virtual ~CZELVErrorCounter() = default;

  // Counts one report attempt and says whether this one is to be reported.
  bool AllowReport();
  // Called where the owner wants the next failures reported in full again.
  void ResetErrorCount() { error_count_.store(0, std::memory_order_relaxed); }
  std::uint32_t GetErrorCount() const { return error_count_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint32_t> error_count_{0};
};
