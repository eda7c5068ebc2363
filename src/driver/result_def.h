#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "host/debug.h"

namespace kalmora {

// The outcome of one step of a camera request: logged under message_type when it failed.
class CResultDef {
 public:
  CResultDef() = default;
  explicit CResultDef(std::int32_t message_type) : message_type_(message_type) {}
  CResultDef(const CResultDef&) = default;
  CResultDef& operator=(const CResultDef&) = default;
  virtual ~CResultDef() = default;

  void Set(std::int32_t message_type, std::int32_t code, std::string message) {
    message_type_ = message_type;
    code_ = code;
    message_ = std::move(message);
  }

  std::int32_t message_type() const { return message_type_; }
  std::int32_t code() const { return code_; }
  const std::string& message() const { return message_; }
  bool ok() const { return code_ == 0; }

 private:
  std::int32_t message_type_ = 0;
  std::int32_t code_ = 0;  // 0 = success
  std::string message_;
};

// Logs a result through reporter when its message is not empty and the reporter's error counter
// (the CZELVErrorCounter of its complete object) lets this attempt through. The message is
// already formatted and is logged literally. A null reporter writes nothing; a reporter without
// a counter is not thinned.
void ReportResult(IDebugMessage* reporter, const CResultDef& result);

}  // namespace kalmora
