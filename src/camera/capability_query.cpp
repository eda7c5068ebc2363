// The capability query exports: one query at a time on a thread of its own, which reads the
// camera's properties and publishes them into the host's results.
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "camera/camera_properties.h"
#include "camera/http_request.h"
#include "host/capability_query.h"

namespace kalmora {
namespace {

using ipcapture::ICapabilityQuerySink;
using ipcapture::ICapabilityResults;

constexpr std::int32_t kQueryErrorCode = 3;

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
  // Set when Uninit begins: from then on the query calls nothing of the host's.
  std::atomic<bool> closing{false};
  // Set on the query's own thread when a host call on it ended the query: nobody joins the
  // thread then, and it frees the query as it leaves.
  bool orphaned = false;
  std::thread thread;
};

struct Module {
  // Orders the exports that start and end queries; held across the join, which the query
  // thread never needs (it holds no lock while it calls the host, so the host may call any
  // export from there).
  std::recursive_mutex exports;
  // Guards the pointers below and the query's properties pointer; never held across a join or
  // a call into the host.
  std::mutex state;
  ICapabilityQuerySink* sink = nullptr;
  bool ntsc = false;
  std::unique_ptr<Query> query;

  // At unload or exit, a query still running is ended and joined like Uninit does: its thread
  // must not outlive the code it runs.
  ~Module();
};

Module& TheModule() {
  static Module module;
  return module;
}

// Makes the query give up at its next step or request. Under the state lock.
void StopLocked(Query& query) {
  query.stop.store(true);
  if (query.properties) query.properties->Terminate();
  // Cuts a request in progress; every later one fails at once.
  query.request->Abort();
}

void RunQuery(Query* query) {
  Module& module = TheModule();
  std::int32_t error_code = kQueryErrorCode;
  // Calls into the host unless Uninit has begun, which then waits for a call under way; false
  // when the call was not made or threw (a host that throws is treated as one that failed it).
  const auto notify = [&](auto&& call) {
    if (query->closing.load()) return false;
    try {
      call();
      return true;
    } catch (...) {
      return false;
    }
  };
  // The query counts as finished before its outcome reaches the host, so a host may start the
  // next query as soon as it hears of this one.
  const auto finish = [&](const char* failure) {
    query->finished.store(true);
    if (failure != nullptr) {
      notify([&] { query->sink->Failed(error_code, failure); });
    } else {
      notify([&] { query->sink->Completed(); });
    }
  };
  std::unique_ptr<COrvaneCameraProperties> properties(new (std::nothrow) COrvaneCameraProperties(query->ntsc));
  if (!properties) return finish("Failed to create camera properties object");
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
  if (!queried) return finish("Failed to get camera properties");
  bool saved = false;
  if (!notify([&] { saved = query->properties->Save(query->results, query->request.get()); })) {
    query->finished.store(true);
    return;
  }
  finish(saved ? nullptr : "Failed to save capability query results");
}

// Joins and frees a query whose thread has ended or been told to stop. Never under the state lock.
void ReleaseQuery(std::unique_ptr<Query> query) {
  if (!query) return;
  if (query->thread.joinable()) {
    // Uninit from inside a host call on the query thread cannot wait for itself.
    if (query->thread.get_id() == std::this_thread::get_id()) {
      query->thread.detach();
      query.release()->orphaned = true;
      return;
    }
    query->thread.join();
  }
}

Module::~Module() {
  std::unique_ptr<Query> last;
  {
    std::lock_guard guard(state);
    if (query) {
      query->closing.store(true);
      StopLocked(*query);
    }
    last = std::move(query);
  }
  ReleaseQuery(std::move(last));
}

}  // namespace

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
    std::lock_guard guard(module.state);
    query->sink = module.sink;
    query->ntsc = module.ntsc;
    query->thread = std::thread([run = query.get()] {
      kalmora::RunQuery(run);
      if (run->orphaned) delete run;
    });
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
  if (module.query) kalmora::StopLocked(*module.query);
  return 1;
}

std::int32_t UninitCapabilityQuery() {
  Module& module = TheModule();
  std::lock_guard exports(module.exports);
  {
    std::lock_guard guard(module.state);
    if (module.query) module.query->closing.store(true);
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
