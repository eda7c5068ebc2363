#include "view_session.h"

#include <algorithm>

#include "host/types.h"
#include "record_options.h"

namespace tessavirn_host {
namespace {

using Clock = std::chrono::steady_clock;
namespace ipc = kalmora::ipcapture;

// The quality of the JPEG pictures made of H.264 and MPEG-4 frames.
constexpr int kViewJpegQuality = 85;
// The driver keeps at most 16 PTZ channels; more inputs and outputs than this are not shown.
constexpr std::uint32_t kMaxPtzChannels = 16;
constexpr std::int32_t kMaxIoPoints = 256;
constexpr unsigned kPresetNameBufferSize = 4096;

const char* ChannelStateWord(std::int32_t state, bool started) {
  if (!started) return "not started";
  switch (state) {
    case ipc::kChannelStreaming: return "streaming";
    case ipc::kChannelConnecting: return "connecting";
    case ipc::kChannelSignalLost: return "signal lost";
    case ipc::kChannelStopped: return "stopped";
    default: return "unknown";
  }
}

const char* InputStateWord(std::int32_t state) {
  switch (state) {
    case ipc::kIoActive: return "active";
    case ipc::kIoInactive: return "inactive";
    default: return "unknown";
  }
}

const char* StreamWord(std::int32_t type) {
  switch (type) {
    case ipc::kStreamMjpeg: return "mjpeg";
    case ipc::kStreamMpeg4: return "mpeg4";
    case ipc::kStreamH264: return "h264";
    default: return "other";
  }
}

const std::string* CustomParameter(const DeviceConfig& device, std::uint32_t index) {
  const auto it = device.custom_parameters.find(index);
  return it == device.custom_parameters.end() || it->second.empty() ? nullptr : &it->second;
}

}  // namespace

std::string LogLevelWord(std::uint8_t level) {
  switch (level) {
    case 1: return "error";
    case 2: return "warning";
    case 3: return "info";
    case 100: return "notice";
    default: return "level " + std::to_string(level);
  }
}

std::string DumpJson(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

ViewSession::ViewSession(std::FILE* out, std::FILE* err, EventHub& hub)
    : out_(out), err_(err), hub_(hub), session_(out, err, nullptr), last_poll_(Clock::now()) {}

ViewSession::~ViewSession() { Close(); }

int ViewSession::Open(const ViewOptions& options) {
  DeviceConfig device = PrepareDevice(options.device);
  const std::uint32_t highest = *std::max_element(options.channels.begin(), options.channels.end());
  device.video_channels = std::max(device.video_channels, static_cast<std::int32_t>(highest) + 1);
  address_ = device.address;
  stream_type_ = device.stream_type;
  const int opened = session_.Open(options.driver_path, device);
  Poll();
  if (opened != 0) return opened;
  ipc::IIPCaptureDriverEx3* driver = session_.driver();

  capture_ = driver->GetVideoCaptureEx();
  if (capture_ == nullptr) capture_ = driver->GetVideoCapture();
  if (capture_ == nullptr) {
    std::fprintf(err_, "tessavirn: the driver has no video capture object\n");
    return 1;
  }
  ChannelSettings settings(options.width, options.height, options.interval_ms, options.quality);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::uint32_t channel : options.channels) {
      ChannelView view;
      view.live = std::make_unique<LiveChannel>(channel, stream_type_, kViewJpegQuality);
      channels_.push_back(std::move(view));
    }
  }
  // The channels are started outside the lock: the driver may call back at once.
  for (ChannelView& view : channels_) {
    view.started = capture_->StartChannel(view.live->channel(), view.live.get(), &settings);
    if (!view.started) std::fprintf(err_, "tessavirn: channel %u did not start\n", view.live->channel());
  }

  if (device.digital_inputs > 0 || device.digital_outputs > 0) {
    io_ = driver->GetCaptureIOApi();
    if (io_ == nullptr || !io_->SetIOCallback(this)) {
      std::fprintf(err_, "tessavirn: the driver has no digital I/O object for this camera\n");
      io_ = nullptr;
    } else {
      input_count_ = static_cast<std::size_t>(std::clamp(io_->GetInputCount(), 0, kMaxIoPoints));
      inputs_ = std::make_unique<std::atomic<std::int32_t>[]>(input_count_);
      for (std::size_t i = 0; i < input_count_; ++i) inputs_[i].store(ipc::kIoUnknown);
      outputs_.assign(static_cast<std::size_t>(std::clamp(io_->GetOutputCount(), 0, kMaxIoPoints)), false);
      io_started_ = io_->Start();
      if (!io_started_) std::fprintf(err_, "tessavirn: the digital I/O object did not start\n");
    }
  }

  const std::string* ptz_channels = CustomParameter(device, 8);
  const auto count = ptz_channels != nullptr ? ParseDecimal(*ptz_channels) : std::nullopt;
  if (count && *count > 0) {
    kalmora::IIPPTZDriverEx* ptz = driver->GetPTZDriverEx();
    const auto wanted = static_cast<std::uint32_t>(std::min<long long>(*count, kMaxPtzChannels));
    for (std::uint32_t channel = 0; ptz != nullptr && channel < wanted; ++channel) {
      kalmora::IIPPTZApiEx* control = ptz->GetPTZApiEx(channel);
      if (control == nullptr) break;
      ptz_.push_back(control);
    }
    if (ptz_.size() < wanted) {
      std::fprintf(err_,
                   "tessavirn: the driver has no control for PTZ channel %zu: the preset file (--param 9) must be a "
                   "plain file name and the capability text (--param 10) well-formed; see the driver's log\n",
                   ptz_.size());
    }
  }
  std::fflush(err_);
  Poll();
  return 0;
}

void ViewSession::EndPictures() {
  for (ChannelView& view : channels_) view.live->Close();
}

void ViewSession::Close() {
  EndPictures();
  if (capture_ != nullptr) {
    for (ChannelView& view : channels_) capture_->StopChannel(view.live->channel());
    capture_ = nullptr;
  }
  if (io_ != nullptr && io_started_) io_->Stop();
  io_ = nullptr;
  io_started_ = false;
  ptz_.clear();
  session_.Close();
  if (logged_ < session_.sink().Count()) Poll();
}

void ViewSession::Poll() {
  for (const LogEntry& entry : session_.sink().EntriesFrom(logged_)) {
    ++logged_;
    std::fprintf(out_, "%s\n", FormatLogEntry(entry).c_str());
    hub_.Publish("log", DumpJson({{"seq", logged_ - 1}, {"level", LogLevelWord(entry.level)}, {"text", entry.text}}));
  }
  std::fflush(out_);
  const auto now = Clock::now();
  const double seconds = std::chrono::duration<double>(now - last_poll_).count();
  last_poll_ = now;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ChannelView& view : channels_) {
      const LiveChannelFigures figures = view.live->Figures();
      if (seconds > 0) {
        view.fps = static_cast<double>(figures.frames - view.last.frames) / seconds;
        view.kbps = static_cast<double>(figures.bytes - view.last.bytes) * 8 / 1000 / seconds;
      }
      view.last = figures;
      if (capture_ != nullptr && view.started) {
        std::int32_t state = 0;
        std::int32_t second = 0;
        std::uint8_t flag = 0;
        view.state = capture_->GetChannelStatus(view.live->channel(), &state, &second, &flag, 0) ? state : -1;
      }
    }
  }
  if (capture_ != nullptr) hub_.PublishStatus(DumpJson(Status()));
}

nlohmann::json ViewSession::Status() const {
  nlohmann::json channels = nlohmann::json::array();
  nlohmann::json outputs = nlohmann::json::array();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const ChannelView& view : channels_) {
      const LiveChannelFigures figures = view.live->Figures();
      const LivePicture picture = view.live->Latest();
      // The picture's own size when there is one: a frame may not say its size.
      const bool sized = picture.sequence != 0 && picture.width > 0;
      channels.push_back({{"channel", view.live->channel()},
                          {"state", ChannelStateWord(view.state, view.started)},
                          {"fps", view.fps},
                          {"kbps", view.kbps},
                          {"width", sized ? static_cast<std::uint32_t>(picture.width) : figures.width},
                          {"height", sized ? static_cast<std::uint32_t>(picture.height) : figures.height},
                          {"frames", figures.frames},
                          {"viewers", figures.viewers},
                          {"decoded", figures.decoded},
                          {"pictures", figures.pictures}});
    }
    for (std::size_t i = 0; i < outputs_.size(); ++i) outputs.push_back({{"output", i}, {"on", bool(outputs_[i])}});
  }
  nlohmann::json inputs = nlohmann::json::array();
  for (std::size_t i = 0; i < input_count_; ++i) {
    inputs.push_back({{"input", i}, {"state", InputStateWord(inputs_[i].load())}});
  }
  return {{"camera", {{"address", address_}, {"stream", StreamWord(stream_type_)}}},
          {"channels", std::move(channels)},
          {"inputs", std::move(inputs)},
          {"outputs", std::move(outputs)},
          {"io", {{"started", io_started_}, {"failures", io_failures_.load()}}},
          {"ptz", {{"channels", ptz_.size()}}}};
}

LiveChannel* ViewSession::Channel(std::uint32_t channel) {
  for (ChannelView& view : channels_) {
    if (view.live->channel() == channel) return view.live.get();
  }
  return nullptr;
}

int ViewSession::StartMotion(std::uint32_t ptz, const PtzMotion& motion, int speed) {
  std::lock_guard<std::mutex> lock(control_mutex_);
  return StartPtzMotion(*ptz_.at(ptz), motion, speed);
}

int ViewSession::StopMotion(std::uint32_t ptz) {
  std::lock_guard<std::mutex> lock(control_mutex_);
  return ptz_.at(ptz)->Stop();
}

int ViewSession::GoToPreset(std::uint32_t ptz, const std::string& name) {
  std::lock_guard<std::mutex> lock(control_mutex_);
  return ptz_.at(ptz)->GoToPreset(0, name.c_str());
}

std::vector<std::string> ViewSession::PresetNamesLocked(kalmora::IIPPTZApiEx& control) {
  std::vector<std::string> names;
  std::vector<char> name(kPresetNameBufferSize);
  const int count = control.GetPresetCount();
  for (int position = 0; position < count; ++position) {
    name[0] = '\0';
    if (control.GetPresetName(position, name.data(), kPresetNameBufferSize) != 1) break;
    name.back() = '\0';
    names.emplace_back(name.data());
  }
  return names;
}

PresetResult ViewSession::Presets(std::uint32_t ptz) {
  std::lock_guard<std::mutex> lock(control_mutex_);
  return {1, PresetNamesLocked(*ptz_.at(ptz))};
}

PresetResult ViewSession::AddPreset(std::uint32_t ptz, const std::string& name) {
  std::lock_guard<std::mutex> lock(control_mutex_);
  kalmora::IIPPTZApiEx& control = *ptz_.at(ptz);
  const int status = control.AddPreset(name.c_str());
  return {status, PresetNamesLocked(control)};
}

PresetResult ViewSession::RenamePreset(std::uint32_t ptz, const std::string& name, const std::string& new_name) {
  std::lock_guard<std::mutex> lock(control_mutex_);
  kalmora::IIPPTZApiEx& control = *ptz_.at(ptz);
  int status = control.GoToPreset(0, name.c_str());
  if (status == 1) status = control.AddPreset(new_name.c_str());
  return {status, PresetNamesLocked(control)};
}

PresetResult ViewSession::DeletePreset(std::uint32_t ptz, const std::string& name) {
  std::lock_guard<std::mutex> lock(control_mutex_);
  kalmora::IIPPTZApiEx& control = *ptz_.at(ptz);
  const int status = control.DeletePreset(name.c_str());
  return {status, PresetNamesLocked(control)};
}

bool ViewSession::SetOutput(std::uint32_t output, bool on) {
  std::lock_guard<std::mutex> control(control_mutex_);
  if (io_ == nullptr || output >= outputs_.size()) return false;
  if (!io_->SetOutput(output, on ? ipc::kIoActive : ipc::kIoInactive)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  outputs_[output] = on;
  return true;
}

nlohmann::json ViewSession::LogSince(std::size_t since) const {
  nlohmann::json entries = nlohmann::json::array();
  const std::vector<LogEntry> found = session_.sink().EntriesFrom(since);
  std::size_t seq = since;
  for (const LogEntry& entry : found) {
    entries.push_back({{"seq", seq++}, {"level", LogLevelWord(entry.level)}, {"text", entry.text}});
  }
  // A position beyond the end reads on from the end.
  return {{"entries", std::move(entries)}, {"next", found.empty() ? std::min(since, session_.sink().Count()) : seq}};
}

void ViewSession::OnInputStateChanged(std::uint32_t input, std::int32_t state) {
  if (input < input_count_) inputs_[input].store(state);
  hub_.Publish("input", DumpJson({{"input", input}, {"state", InputStateWord(state)}}));
}

void ViewSession::OnIOFailure() {
  ++io_failures_;
  hub_.Publish("io", DumpJson({{"failure", true}}));
}

}  // namespace tessavirn_host
