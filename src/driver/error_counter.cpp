#include "driver/error_counter.h"

bool CZELVErrorCounter::AllowReport() {
  constexpr std::uint32_t kWrapAt = 65535;
  constexpr std::uint32_t kWrapTo = 4095;
  const std::uint32_t n = error_count_.fetch_add(1, std::memory_order_relaxed) + 1;
  if (n >= kWrapAt) {
    error_count_.store(kWrapTo, std::memory_order_relaxed);
    return false;
  }
  if (n < 15) return true;
  if (n < 255) return n % 16 == 0;
  if (n < 4095) return n % 256 == 0;
  return n % 4096 == 0;
}
