// A stand-in capture driver library for the record command's program tests. It has the exports
// and interfaces of libtessavirn.so; its channel delivers the access units of an H.264 Annex B
// clip as the driver does (parameter sets before key frames, the access unit delimiter
// 00 00 01 09 30 at the end), paced by the frame interval, with time stamps exactly one
// interval apart. Environment, read at StartChannel:
//   TESSAVIRN_FAKE_CLIP         the clip; without it the channel starts and delivers nothing
//   TESSAVIRN_FAKE_FRAMES       stop delivering after this many frames (the clip repeats until
//                               then), tell the host of a lost signal once and report it;
//                               channel N stops N frames earlier, so that each channel's
//                               recording can be told apart by its length
//   TESSAVIRN_FAKE_SKIP         frame index to leave out: its time stamp is used up, as for a
//                               frame lost on the way
//   TESSAVIRN_FAKE_REFUSE_START StartChannel fails (the channel stays until stopped)
//   TESSAVIRN_FAKE_REFUSE_CHANNEL  StartChannel fails for this channel only
// Channels 0 to 15 each run on their own.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/capture_driver.h"
#include "host/types.h"

namespace {

using namespace kalmora::ipcapture;
using Bytes = std::vector<std::uint8_t>;

class Entry final : public CDebugInfoIf {
 public:
  Entry(std::uint8_t level, std::string text) : level_(level), text_(std::move(text)) {}
  std::uint8_t GetLevel() const override { return level_; }
  const char* GetText() const override { return text_.c_str(); }

 private:
  std::uint8_t level_;
  std::string text_;
};

void Log(IDebugMessageSink* sink, const std::string& text) {
  Entry entry(3, text);
  if (sink != nullptr) sink->ReceiveDebugInfo(&entry);
}

struct AccessUnit {
  Bytes bytes;
  bool key = false;
};

// Splits the clip into access units of one slice each, as a single-slice encoder writes them.
std::vector<AccessUnit> SplitClip(const Bytes& clip) {
  std::vector<std::pair<std::size_t, std::size_t>> units;  // [begin, end) with start code
  std::size_t begin = std::string::npos;
  for (std::size_t i = 0; i + 3 <= clip.size(); ++i) {
    if (clip[i] == 0 && clip[i + 1] == 0 && clip[i + 2] == 1) {
      if (begin != std::string::npos) {
        std::size_t end = i;
        while (end > begin && clip[end - 1] == 0) --end;  // trailing zeros belong to no unit
        units.emplace_back(begin, end);
      }
      begin = i;
      i += 2;
    }
  }
  if (begin != std::string::npos) units.emplace_back(begin, clip.size());

  std::vector<AccessUnit> frames;
  Bytes pending;
  Bytes sps;
  Bytes pps;
  for (const auto& [b, e] : units) {
    if (e <= b + 3) continue;
    const std::uint8_t type = clip[b + 3] & 0x1F;
    const Bytes nal(clip.begin() + static_cast<std::ptrdiff_t>(b), clip.begin() + static_cast<std::ptrdiff_t>(e));
    if (type == 9) continue;
    if (type == 7) sps = nal;
    if (type == 8) pps = nal;
    if (type < 1 || type > 5) {
      pending.insert(pending.end(), nal.begin(), nal.end());
      continue;
    }
    AccessUnit unit;
    unit.key = type == 5;
    if (unit.key && (pending.size() < 4 || (pending[3] & 0x1F) != 7)) {
      unit.bytes = sps;
      unit.bytes.insert(unit.bytes.end(), pps.begin(), pps.end());
    }
    unit.bytes.insert(unit.bytes.end(), pending.begin(), pending.end());
    unit.bytes.insert(unit.bytes.end(), nal.begin(), nal.end());
    unit.bytes.insert(unit.bytes.end(), {0x00, 0x00, 0x01, 0x09, 0x30});
    frames.push_back(std::move(unit));
    pending.clear();
  }
  return frames;
}

Bytes ReadFile(const char* path) {
  Bytes bytes;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return bytes;
  std::uint8_t buffer[65536];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(file);
  return bytes;
}

long EnvNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

SystemTime ToSystemTime(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  SystemTime t;
  t.year = static_cast<std::uint16_t>(utc.tm_year + 1900);
  t.month = static_cast<std::uint16_t>(utc.tm_mon + 1);
  t.day_of_week = static_cast<std::uint16_t>(utc.tm_wday);
  t.day = static_cast<std::uint16_t>(utc.tm_mday);
  t.hour = static_cast<std::uint16_t>(utc.tm_hour);
  t.minute = static_cast<std::uint16_t>(utc.tm_min);
  t.second = static_cast<std::uint16_t>(utc.tm_sec);
  t.milliseconds = static_cast<std::uint16_t>(ms % 1000);
  return t;
}

class FakeChannel {
 public:
  FakeChannel(std::uint32_t number, ICaptureFrameCallback* callback, ICaptureFrameFactory* factory,
              IDebugMessageSink* sink)
      : number_(number), callback_(callback), factory_(factory), sink_(sink) {}
  ~FakeChannel() { Stop(); }

  bool Start(std::uint32_t interval_ms, std::uint16_t width, std::uint16_t height) {
    interval_ms_ = interval_ms == 0 ? 40 : interval_ms;
    width_ = width;
    height_ = height;
    if (std::getenv("TESSAVIRN_FAKE_REFUSE_START") != nullptr ||
        EnvNumber("TESSAVIRN_FAKE_REFUSE_CHANNEL", -1) == static_cast<long>(number_)) {
      return false;
    }
    const char* clip = std::getenv("TESSAVIRN_FAKE_CLIP");
    if (clip != nullptr) frames_ = SplitClip(ReadFile(clip));
    limit_ = EnvNumber("TESSAVIRN_FAKE_FRAMES", -1);
    if (limit_ >= 0) limit_ = std::max(0L, limit_ - static_cast<long>(number_));
    skip_ = EnvNumber("TESSAVIRN_FAKE_SKIP", -1);
    state_ = frames_.empty() ? kChannelConnecting : kChannelStreaming;
    Log(sink_, "fake channel " + std::to_string(number_) + " started: " + std::to_string(width) + "x" +
                   std::to_string(height) + " every " + std::to_string(interval_ms_) + " ms, " +
                   std::to_string(frames_.size()) + " frames in the clip");
    thread_ = std::thread([this] { Run(); });
    return true;
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
      thread_.join();
      Log(sink_, "fake channel " + std::to_string(number_) + " stopped after " + std::to_string(delivered_) +
                     " frames");
    }
  }

  std::int32_t state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
  }

 private:
  void Run() {
    using namespace std::chrono;
    const auto start_ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() / 1000 * 1000;
    auto next = steady_clock::now();
    for (long index = 0; !frames_.empty() && (limit_ < 0 || index < limit_); ++index) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_until(lock, next, [this] { return stopping_; })) return;
      }
      next += milliseconds(interval_ms_);
      if (index == skip_) continue;
      const AccessUnit& unit = frames_[static_cast<std::size_t>(index) % frames_.size()];
      const auto size = static_cast<std::uint32_t>(unit.bytes.size());
      const std::uint32_t type = unit.key ? kFrameTypeH264 : kFrameTypeH264Delta;
      ICaptureFrame* frame = factory_->AllocateFrame(type, size, "fake");
      if (frame == nullptr) continue;
      std::memcpy(frame->GetData(), unit.bytes.data(), size);
      frame->SetDataLength(size);
      frame->SetFrameType(type);
      frame->SetWidth(width_);
      frame->SetHeight(height_);
      frame->SetTimeStamp(ToSystemTime(start_ms + index * static_cast<std::int64_t>(interval_ms_)));
      if (callback_->CaptureFrameCallback(frame)) ++delivered_;
      factory_->ReleaseFrame(frame);
    }
    if (!frames_.empty()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = kChannelSignalLost;
      }
      callback_->NotifyNoSignal();
    }
  }

  std::uint32_t number_;
  ICaptureFrameCallback* callback_;
  ICaptureFrameFactory* factory_;
  IDebugMessageSink* sink_;
  std::vector<AccessUnit> frames_;
  std::uint32_t interval_ms_ = 40;
  std::uint16_t width_ = 0;
  std::uint16_t height_ = 0;
  long limit_ = -1;
  long skip_ = -1;
  long delivered_ = 0;  // written by the delivery thread, read after its join
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::int32_t state_ = kChannelStopped;
  std::thread thread_;
};

class FakeVideoCapture final : public IIPVideoCaptureEx {
 public:
  FakeVideoCapture(ICaptureFrameFactory* factory, IDebugMessageSink* sink) : factory_(factory), sink_(sink) {}

  std::int32_t GetChannelCount() override { return 1; }
  bool StartChannel(std::uint32_t channel, ICaptureFrameCallback* callback, IIPChannelSettings* settings) override {
    if (channel >= kChannels || callback == nullptr || settings == nullptr) return false;
    channels_[channel].reset();
    channels_[channel] = std::make_unique<FakeChannel>(channel, callback, factory_, sink_);
    IIPPictureSize* size = settings->GetPictureSettings()->GetPictureSize();
    return channels_[channel]->Start(settings->GetRateSettings()->GetFrameInterval(), size->GetWidth(),
                                     size->GetHeight());
  }
  bool StopChannel(std::uint32_t channel) override {
    if (channel >= kChannels || !channels_[channel]) return false;
    channels_[channel].reset();
    Log(sink_, "fake channel " + std::to_string(channel) + " deleted");
    return true;
  }
  bool ChangeChannelFormat(std::uint32_t, IIPPictureSize*, std::uint32_t) override { return false; }
  std::int32_t Reserved6() override { return 0; }
  bool GetChannelStatus(std::uint32_t channel, std::int32_t* state, std::int32_t* second, std::uint8_t* flag,
                        std::int32_t flag_wanted) override {
    if (second != nullptr) *second = 0;
    if (flag_wanted != 0 && flag != nullptr) *flag = 0;
    if (channel >= kChannels || !channels_[channel]) return false;
    if (state != nullptr) *state = channels_[channel]->state();
    return true;
  }
  bool Reserved8(std::uint32_t, std::uint32_t, std::uint32_t) override { return false; }
  bool Reserved9(std::uint32_t, std::uint32_t, std::uint32_t) override { return false; }
  bool Reserved10(void*) override { return false; }
  bool Reserved11(void*) override { return false; }

 private:
  ICaptureFrameFactory* factory_;
  IDebugMessageSink* sink_;
  static constexpr std::uint32_t kChannels = 16;
  std::unique_ptr<FakeChannel> channels_[kChannels];
};

class FakeDriver final : public IIPCaptureDriverEx3 {
 public:
  bool Open(IDebugMessageSink* sink, ICaptureFrameFactory* factory, IIPDeviceSettings* settings) override {
    if (capture_ || sink == nullptr || factory == nullptr || settings == nullptr) return false;
    std::string parameters;
    for (std::uint32_t index : {1u, 2u, 6u, 8u}) {
      const char* value = settings->GetCustomParameter(index);
      if (value == nullptr) return false;
      parameters += " " + std::to_string(index) + "=" + value;
    }
    sink_ = sink;
    capture_ = std::make_unique<FakeVideoCapture>(factory, sink);
    Log(sink_, "fake driver opened for " + std::string(settings->GetConnectionSettings()->GetAddress()) +
                   ", parameters" + parameters);
    return true;
  }
  void Close() override {
    if (capture_) Log(sink_, "fake driver closed");
    capture_.reset();
  }
  IIPVideoCapture* GetVideoCapture() override { return capture_.get(); }
  kalmora::ICaptureIOApi* GetCaptureIOApi() override { return nullptr; }
  void* GetReserved6() override { return nullptr; }
  kalmora::IIPPTZDriver* GetPTZDriver() override { return nullptr; }
  void* GetReserved8() override { return nullptr; }
  IIPVideoCaptureEx* GetVideoCaptureEx() override { return capture_.get(); }
  kalmora::IIPPTZDriverEx* GetPTZDriverEx() override { return nullptr; }

 private:
  IDebugMessageSink* sink_ = nullptr;
  std::unique_ptr<FakeVideoCapture> capture_;
};

}  // namespace

TESSAVIRN_EXPORT IIPCaptureDriver* CreateIPCapture() { return new FakeDriver; }
TESSAVIRN_EXPORT IIPCaptureDriverEx* CreateIPCaptureEx() { return new FakeDriver; }
TESSAVIRN_EXPORT IIPCaptureDriverEx2* CreateIPCaptureEx2() { return new FakeDriver; }
TESSAVIRN_EXPORT IIPCaptureDriverEx3* CreateIPCaptureEx3() { return new FakeDriver; }
TESSAVIRN_EXPORT void DeleteIPCapture(IIPCaptureDriver* driver) { delete driver; }
TESSAVIRN_EXPORT void DeleteIPCaptureEx(IIPCaptureDriverEx* driver) { delete driver; }
TESSAVIRN_EXPORT void DeleteIPCaptureEx2(IIPCaptureDriverEx2* driver) { delete driver; }
TESSAVIRN_EXPORT void DeleteIPCaptureEx3(IIPCaptureDriverEx3* driver) { delete driver; }
