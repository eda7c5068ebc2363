// The admin paths under "/camsim/" (see Simulator), apart from RTSP's in simulator_rtsp.cpp.
#include <algorithm>

#include "camsim/parameter_interface.h"
#include "camsim/simulator.h"
#include "camsim/simulator_internal.h"

namespace camsim {
namespace {

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace

Simulator::Reply Simulator::AnswerAdmin(const std::string& path, const std::string& query) {
  const std::vector<std::string> items = SplitQuery(query);
  const bool clear = std::find(items.begin(), items.end(), "clear") != items.end();
  Reply reply;
  if (path == "camsim/rtsp" || path == "camsim/restart") {
    reply.status = AnswerRtspAdmin(path, items, &reply.body);
    return reply;
  }
  if (path == "camsim/video") return AnswerVideoAdmin(items);
  if (path == "camsim/io") return AnswerIoAdmin(items);
  if (path == "camsim/sets") return AnswerSetsAdmin(items);
  std::unique_lock lock(mutex_);
  if (path == "camsim/log") {
    if (clear) log_.clear();
    for (const RequestRecord& record : log_) reply.body += FormatRecord(record) + "\r\n";
  } else if (path == "camsim/connections") {
    reply.body = Lines({"accepted=" + std::to_string(connections_.accepted),
                        "closed=" + std::to_string(connections_.closed),
                        "open=" + std::to_string(connections_.open())});
  } else if (path == "camsim/faults") {
    if (clear) {
      faults_.clear();
      media_faults_->Clear();
    }
    std::vector<MediaFault> media_faults;
    for (const std::string& item : items) {
      if (!item.starts_with("add=")) continue;
      std::string why;
      if (IsMediaFaultText(item.substr(4))) {
        const std::optional<MediaFault> fault = ParseMediaFault(item.substr(4), &why);
        if (!fault) return Reply{400, "bad fault: " + why + "\r\n", kTextType};
        media_faults.push_back(*fault);
        continue;
      }
      const std::optional<Fault> fault = ParseFault(item.substr(4), &why);
      if (!fault) return Reply{400, "bad fault: " + why + "\r\n", kTextType};
      faults_.push_back(*fault);
    }
    for (const Fault& fault : faults_) reply.body += FormatFault(fault) + "\r\n";
    // A restart takes mutex_ itself.
    lock.unlock();
    for (const MediaFault& fault : media_faults) AddMediaFault(fault);
    for (const MediaFault& fault : media_faults_->List()) {
      reply.body += FormatMediaFault(fault) + "\r\n";
    }
  } else if (path == "camsim/params") {
    for (const std::string& item : items) {
      const std::size_t equals = item.find('=');
      if (equals == std::string::npos || equals == 0) {
        return Reply{400, "expected KEY=VALUE: " + item + "\r\n", kTextType};
      }
      tree_.Put(item.substr(0, equals), item.substr(equals + 1));
      reply.body += item + "\r\n";
    }
  } else if (path == "camsim/auth") {
    AuthSettings auth = auth_;
    for (const std::string& item : items) {
      const std::size_t equals = item.find('=');
      const std::string name = item.substr(0, equals);
      const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
      if (name == "mode") {
        const std::optional<AuthMode> mode = ParseAuthMode(value);
        if (!mode) return Reply{400, "mode is none, basic or digest\r\n", kTextType};
        auth.mode = *mode;
      } else if (name == "user") {
        auth.user = value;
      } else if (name == "password") {
        auth.password = value;
      } else if (name == "realm") {
        auth.realm = value;
      }
    }
    auth_ = auth;
    reply.body = Lines({"mode=" + std::string(AuthModeName(auth.mode)), "user=" + auth.user,
                        "realm=" + auth.realm});
  } else {
    reply.status = 404;
    reply.body = StatusText(404);
  }
  return reply;
}

}  // namespace camsim
