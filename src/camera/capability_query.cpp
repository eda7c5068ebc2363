// The capability query exports: one query at a time on a thread of its own, which reads the
// camera's properties and publishes them into the host's results.
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "camera/camera_properties.h"
#include "camera/http_request.h"
#include "driver/custom_parameters.h"
#include "host/capability_query.h"

namespace kalmora {
namespace {

using ipcapture::ICapabilityQuerySink;
using ipcapture::ICapabilityResults;

constexpr std::int32_t kQueryErrorCode = 3;
constexpr std::uint32_t kProposedNetworkTimeoutMs = 5000;

// Capability identifiers given to the host.
enum Capability : std::int32_t {
  kCapVideoInputs = 0,
  kCapPtz = 1,
  kCapInputs = 2,
  kCapOutputs = 3,
  kCapAudioOutput = 4,
  kCapMpeg4 = 6,
  kCapMjpeg = 7,
  kCapH264 = 8,
  kCapQueryDone = 11,
  kCapQueryFinished = 12,
};

// One query: what its thread and the exports share. The request and the properties live until
// the thread has been joined.
struct Query {
  std::unique_ptr<Web::HttpRequest> request;
  std::unique_ptr<COrvaneCameraProperties> properties;
  ICapabilityQuerySink* sink = nullptr;
  ICapabilityResults* results = nullptr;
  bool ntsc = false;
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};
  std::thread thread;
};

struct Module {
  // Orders the exports that start and end queries; held across the join, which the query
  // thread never needs.
  std::recursive_mutex exports;
  // Guards the pointers below and the query's properties pointer; never held across a join or
  // a call into the host.
  std::mutex state;
  ICapabilityQuerySink* sink = nullptr;
  bool ntsc = false;
  std::unique_ptr<Query> query;
  // Held for every call into the host's sink and results; Uninit takes it to close the door, so
  // no host call starts after Uninit has begun.
  std::recursive_mutex host_calls;
  bool closing = false;
};

Module& TheModule() {
  static Module* const module = new Module();  // never destroyed: a query thread may outlive exit
  return *module;
}

// Calls into the host unless Uninit has begun; false when it has.
template <typename Call>
bool CallHost(Module& module, Call&& call) {
  std::lock_guard guard(module.host_calls);
  if (module.closing) return false;
  call();
  return true;
}

void RunQuery(Query* query) {
  Module& module = TheModule();
  std::int32_t error_code = kQueryErrorCode;
  // A host that throws from a call is treated as one that failed it.
  const auto notify = [&](auto&& call) {
    try {
      return CallHost(module, call);
    } catch (...) {
      return false;
    }
  };
  const auto fail = [&](const char* message) { notify([&] { query->sink->Failed(error_code, message); }); };
  std::unique_ptr<COrvaneCameraProperties> properties(new (std::nothrow) COrvaneCameraProperties(query->ntsc));
  if (!properties) {
    fail("Failed to create camera properties object");
    query->finished.store(true);
    return;
  }
  {
    std::lock_guard guard(module.state);
    query->properties = std::move(properties);
    // A Terminate that came before the properties existed still counts.
    if (query->stop.load()) query->properties->Terminate();
  }
  bool queried = false;
  try {
    queried = query->properties->Query(query->request.get(), error_code);
  } catch (...) {
  }
  if (!queried) {
    fail("Failed to get camera properties");
  } else {
    bool saved = false;
    if (notify([&] { saved = query->properties->Save(query->results, query->request.get()); })) {
      if (saved) {
        notify([&] { query->sink->Completed(); });
      } else {
        fail("Failed to save capability query results");
      }
    }
  }
  query->finished.store(true);
}

// Joins and frees a query whose thread has ended or been told to stop. Never under the state lock.
void ReleaseQuery(std::unique_ptr<Query> query) {
  if (!query) return;
  if (query->thread.joinable()) {
    // Uninit from inside a host call on the query thread cannot wait for itself.
    if (query->thread.get_id() == std::this_thread::get_id()) {
      query->thread.detach();
      (void)query.release();  // the thread is still using it
      return;
    }
    query->thread.join();
  }
}

void Publish(ICapabilityResults* results, std::int32_t index, const char* name, std::int32_t kind,
             const std::string& value) {
  ipcapture::IResultParameter* parameter = results->GetParameter(index);
  if (parameter == nullptr) return;
  parameter->SetName(name);
  parameter->SetOption(0);
  parameter->SetKind(kind);
  parameter->SetValue(value.c_str());
}

}  // namespace

bool COrvaneCameraProperties::Save(ICapabilityResults* results, const Web::HttpRequest* request) {
  if (results == nullptr || request == nullptr) return false;
  results->SetModelName(record_.model_name.c_str());
  if (record_.query_done) results->SetCapability(kCapQueryDone, 1);
  if (record_.query_finished) results->SetCapability(kCapQueryFinished, 1);
  results->SetCapability(kCapVideoInputs, static_cast<std::int32_t>(record_.video_inputs));
  if (record_.inputs != 0) results->SetCapability(kCapInputs, static_cast<std::int32_t>(record_.inputs));
  if (record_.outputs != 0) results->SetCapability(kCapOutputs, static_cast<std::int32_t>(record_.outputs));
  if (record_.ptz) results->SetCapability(kCapPtz, 1);
  if (record_.audio_output) results->SetCapability(kCapAudioOutput, 1);
  for (const std::uint32_t codec : record_.codecs) {
    if (codec == kCodecMjpeg) results->SetCapability(kCapMjpeg, 1);
    if (codec == kCodecMpeg4) results->SetCapability(kCapMpeg4, 1);
    if (codec == kCodecH264) results->SetCapability(kCapH264, 1);
  }
  if (ipcapture::IResolutionList* list = results->GetResolutionList(); list != nullptr) {
    for (const CResolution& resolution : record_.resolutions) {
      const std::string name = FormatText("%dx%d", resolution.width, resolution.height).substr(0, 31);
      list->Add(name.c_str(), resolution.width, resolution.height,
                resolution.frame_intervals_ms.empty() ? 0 : static_cast<std::int32_t>(resolution.frame_intervals_ms[0]));
    }
  }
  const std::string port = std::to_string(request->GetPort());
  const char* const connection[] = {request->GetHost().c_str(), port.c_str(), request->GetUserName().c_str(),
                                    request->GetPassword().c_str()};
  for (std::int32_t index = 1; index <= 4; ++index) {
    if (ipcapture::IResultText* field = results->GetConnectionField(index); field != nullptr) {
      field->SetText(connection[index - 1]);
    }
  }
  // Without frame rates the host cannot propose a frame interval, so the camera is not added.
  if (frame_rates_.empty()) return false;
  if (ipcapture::IFrameIntervalList* intervals = results->GetFrameIntervalList(1); intervals != nullptr) {
    for (const std::uint32_t rate : frame_rates_) intervals->Add(1000 / rate);
    intervals->SetDefault(1000 / frame_rates_[frame_rates_.size() / 2]);
  }
  const auto number = [](std::uint32_t value) { return std::to_string(value); };
  Publish(results, kParamNetworkTimeout, "Network timeout", 0, number(kProposedNetworkTimeoutMs));
  Publish(results, kParamVideoStandard, "Video standard", 0, ntsc_ ? "1" : "0");
  Publish(results, kParamDeviceType, "Orvane Device Type", 1, product_type_);
  Publish(results, kParamMinimumBitrate, "Minimum bitrate", 0, number(min_bitrate_));
  Publish(results, kParamMaximumBitrate, "Maximum bitrate", 0, number(max_bitrate_));
  Publish(results, kParamMjpegOverHttp, "Use MJPEG video receiving via HTTP", 0, mjpeg_over_http_ ? "1" : "0");
  Publish(results, kParamMediaTypeSupport, "MediaType parameter support option", 0, media_type_supported_ ? "1" : "0");
  Publish(results, kParamPtzChannels, "Number of Supported PTZ Channels", 0, record_.ptz ? number(ptz_channels_) : "0");
  Publish(results, kParamPresetFile, "Filename for Preset XML Storage", 1, preset_file_);
  Publish(results, kParamPtzCapabilities, "Orvane PTZ capabilities", 1, ptz_capabilities_.Format());
  Publish(results, kParamFirstInputId, "First input ID for IP PTZ cameras", 0, number(first_source_input_));
  Publish(results, kParamInputCommandType, "Command type for input states receiving", 0, number(input_mode_));
  Publish(results, kParamOutputCommandType, "Command type for output state setting", 0, number(output_mode_));
  Publish(results, kParamFirmware, "Firmware", 1, FormatVersion(firmware_));
  return true;
}

}  // namespace kalmora

using kalmora::Module;
using kalmora::Query;
using kalmora::TheModule;

std::int32_t InitCapabilityQuery(kalmora::ipcapture::ICapabilityQuerySink* sink, std::uint8_t ntsc) {
  Module& module = TheModule();
  std::lock_guard exports(module.exports);
  std::lock_guard guard(module.state);
  if (module.sink != nullptr || sink == nullptr) return 0;
  module.sink = sink;
  module.ntsc = ntsc != 0;
  return 1;
}

std::int32_t StartCapabilityQuery(const char* host, std::uint16_t port, const char* user, const char* password,
                                  kalmora::ipcapture::ICapabilityResults* results) {
  Module& module = TheModule();
  std::lock_guard exports(module.exports);
  std::unique_ptr<Query> previous;
  {
    std::lock_guard guard(module.state);
    if (module.sink == nullptr) return 0;
    if (module.query && !module.query->finished.load()) return 0;
    previous = std::move(module.query);
  }
  kalmora::ReleaseQuery(std::move(previous));
  try {
    auto query = std::make_unique<Query>();
    query->request = std::make_unique<Web::HttpRequest>();
    query->request->SetHost(host);
    query->request->SetPort(port);
    query->request->SetUser(user);
    query->request->SetPassword(password);
    query->results = results;
    {
      std::lock_guard host_calls(module.host_calls);
      module.closing = false;
    }
    std::lock_guard guard(module.state);
    query->sink = module.sink;
    query->ntsc = module.ntsc;
    query->thread = std::thread(kalmora::RunQuery, query.get());
    module.query = std::move(query);
    return 1;
  } catch (...) {
    // The thread did not start: the request goes with the query object.
    return 0;
  }
}

std::int32_t TerminateCapabilityQuery() {
  Module& module = TheModule();
  std::lock_guard guard(module.state);
  if (Query* query = module.query.get(); query != nullptr) {
    query->stop.store(true);
    if (query->properties) query->properties->Terminate();
    // Cuts a request in progress; every later one fails at once.
    query->request->Abort();
  }
  return 1;
}

std::int32_t UninitCapabilityQuery() {
  Module& module = TheModule();
  std::lock_guard exports(module.exports);
  {
    std::lock_guard host_calls(module.host_calls);
    module.closing = true;
  }
  TerminateCapabilityQuery();
  std::unique_ptr<Query> query;
  {
    std::lock_guard guard(module.state);
    query = std::move(module.query);
    module.sink = nullptr;
  }
  kalmora::ReleaseQuery(std::move(query));
  return 1;
}
