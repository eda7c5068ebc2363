#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "host/debug.h"

namespace kalmora {

// One log entry as handed to the host's debug sink; lives only for the sink call.
class CDebugInfo final : public CDebugInfoIf {
 public:
  CDebugInfo(std::uint8_t level, std::string_view text);

  std::uint8_t GetLevel() const override { return level_; }
  const char* GetText() const override { return text_.get(); }

 private:
  std::uint8_t level_;
  std::unique_ptr<char[]> text_;  // null for an empty message
};

}  // namespace kalmora
