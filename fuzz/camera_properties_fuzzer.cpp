// Plays a whole camera for the capability query: the input is the sequence of reply bodies, one
// per request in the order the query sends them, separated by NUL bytes; a body starting with
// '!' is a failed request. The first byte chooses PAL or NTSC. Whatever the camera says, the
// query ends after a bounded number of requests, and what is published is well formed:
// resolutions unique with short names, frame intervals above 0, bounded I/O counts, a preset file
// name that is "(none)" or made of letters and digits, and all fourteen parameters in order.
#include <cctype>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "camera/camera_properties.h"
#include "camera/http_request.h"
#include "host/capability_query.h"

namespace {

using namespace kalmora::ipcapture;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

class ScriptedCamera final : public kalmora::COrvaneCameraProperties {
 public:
  ScriptedCamera(bool ntsc, std::vector<std::string_view> replies)
      : COrvaneCameraProperties(ntsc), replies_(std::move(replies)) {}
  std::size_t requests() const { return next_; }

 private:
  bool SendRequest(Web::HttpRequest*, const std::string& path, std::string& body) override {
    body.clear();
    Check(!path.empty() && path.size() < 200);
    if (next_ >= replies_.size()) return false;
    const std::string_view reply = replies_[next_++];
    if (!reply.empty() && reply.front() == '!') return false;
    body.assign(reply);
    return true;
  }

  std::vector<std::string_view> replies_;
  std::size_t next_ = 0;
};

class CheckingResults final : public ICapabilityResults, public IResolutionList, public IFrameIntervalList {
 public:
  void SetCapability(std::int32_t id, std::int32_t value) override {
    if (id == 2 || id == 3) Check(value > 0 && value <= 32);
  }
  void SetModelName(const char* name) override { Check(name != nullptr); }
  IResultText* GetConnectionField(std::int32_t) override { return nullptr; }
  void Reserved5() override {}
  IResultParameter* GetParameter(std::int32_t index) override {
    Check(index == ++last_parameter_);
    parameter_.index = index;
    return &parameter_;
  }
  IResolutionList* GetResolutionList() override { return this; }
  void Reserved8() override {}
  IFrameIntervalList* GetFrameIntervalList(std::int32_t) override { return this; }
  void Add(const char* name, std::int32_t width, std::int32_t height, std::int32_t interval) override {
    Check(std::string_view(name).size() <= 31 && width > 0 && height > 0 && interval >= 0);
    Check(sizes_.insert({width, height}).second);
  }
  void SetDefault(std::uint32_t ms) override { Check(ms > 0); }
  void Add(std::uint32_t ms) override { Check(ms > 0); }
  int last_parameter() const { return last_parameter_; }

 private:
  struct Parameter final : IResultParameter {
    void SetValue(const char* value) override {
      Check(value != nullptr);
      const std::string_view text(value);
      if (index == 9 && text != "(none)") {
        Check(text.starts_with("Orvane_") && text.ends_with(".preset") && text.size() > 14);
        for (const char c : text.substr(7, text.size() - 14)) Check(std::isalnum(static_cast<unsigned char>(c)));
      }
    }
    void Reserved3() override {}
    void Reserved4() override {}
    void SetKind(std::int32_t kind) override { Check(kind == 0 || kind == 1); }
    void SetName(const char* name) override { Check(name != nullptr && *name != '\0'); }
    void SetOption(std::int32_t option) override { Check(option == 0); }
    int index = 0;
  };

  Parameter parameter_;
  int last_parameter_ = 0;
  std::set<std::pair<int, int>> sizes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool ntsc = (data[0] & 1) != 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string_view> replies;
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t end = std::min(input.find('\0', start), input.size());
    replies.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  ScriptedCamera camera(ntsc, std::move(replies));
  Web::HttpRequest request;
  request.SetHost("camera");
  std::int32_t error_code = 3;
  const bool queried = camera.Query(&request, error_code);
  Check(error_code == 3 && camera.requests() < 200);
  Check(camera.record().query_done && camera.record().query_finished);
  if (!queried) return 0;
  CheckingResults results;
  const bool saved = camera.Save(&results, &request);
  Check(saved == !camera.frame_rates().empty());
  Check(results.last_parameter() == (saved ? 14 : 0));
  return 0;
}
