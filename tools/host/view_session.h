#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver_session.h"
#include "event_hub.h"
#include "host/io.h"
#include "host/ptz.h"
#include "live_channel.h"
#include "ptz_words.h"
#include "view_options.h"

namespace tessavirn_host {

// A preset operation's outcome: the control's status, and the preset list after it.
struct PresetResult {
  int status = 0;
  std::vector<std::string> presets;
};

// The driver opened for one camera as the view uses it: the channels started with a live
// picture each, the digital I/O object started with this object as its callback, and the
// controls of the PTZ channels. The server's threads call the PTZ and output operations, one
// at a time (a mutex serialises them, as a recorder's single PTZ user would); the view's main
// thread calls Poll once a second, which reads the channels' states and rates and hands the
// status and the new log entries to the event hub.
class ViewSession final : public kalmora::ipcapture::ICaptureIOCallback {
 public:
  // Log entries are printed to out as the main thread polls; the hub outlives the session.
  ViewSession(std::FILE* out, std::FILE* err, EventHub& hub);
  ~ViewSession() override;
  ViewSession(const ViewSession&) = delete;
  ViewSession& operator=(const ViewSession&) = delete;

  // Opens the driver and starts what the camera has. Returns 0, or the exit status after saying
  // why on err: 1 the open was refused or no channel started, 3 the driver could not be loaded.
  int Open(const ViewOptions& options);
  // Ends every wait for a picture for good; the channels go on until Close.
  void EndPictures();
  // Ends the pictures' waits, stops the channels and the I/O object and closes the driver.
  void Close();

  // Reads the channels' states and the rates since the last call, prints and publishes the new
  // log entries and publishes the status. Main thread only.
  void Poll();

  nlohmann::json Status() const;
  // The channel's live pictures, or null when the view does not show that channel.
  LiveChannel* Channel(std::uint32_t channel);
  std::uint32_t PtzChannels() const { return static_cast<std::uint32_t>(ptz_.size()); }
  std::uint32_t OutputCount() const { return static_cast<std::uint32_t>(outputs_.size()); }
  bool HasIo() const { return io_ != nullptr; }

  // PTZ operations on a channel below PtzChannels(); each returns the control's status.
  int StartMotion(std::uint32_t ptz, const PtzMotion& motion, int speed);
  int StopMotion(std::uint32_t ptz);
  int GoToPreset(std::uint32_t ptz, const std::string& name);
  PresetResult Presets(std::uint32_t ptz);
  PresetResult AddPreset(std::uint32_t ptz, const std::string& name);
  // Recalls the preset, then stores the new name for it: the driver renames the preset the head
  // stands at.
  PresetResult RenamePreset(std::uint32_t ptz, const std::string& name, const std::string& new_name);
  PresetResult DeletePreset(std::uint32_t ptz, const std::string& name);

  // Queues the output change; false when the driver refused to queue it.
  bool SetOutput(std::uint32_t output, bool on);

  // Log entries from position since on: {"entries": [...], "next": N}.
  nlohmann::json LogSince(std::size_t since) const;

  void OnInputStateChanged(std::uint32_t input, std::int32_t state) override;
  void OnIOFailure() override;

 private:
  struct ChannelView {
    std::unique_ptr<LiveChannel> live;
    bool started = false;
    std::int32_t state = -1;  // -1: not read yet
    double fps = 0;
    double kbps = 0;
    LiveChannelFigures last;
  };
  std::vector<std::string> PresetNamesLocked(kalmora::IIPPTZApiEx& control);

  std::FILE* out_;
  std::FILE* err_;
  EventHub& hub_;
  DriverSession session_;
  std::string address_;
  std::int32_t stream_type_ = 0;
  kalmora::ipcapture::IIPVideoCapture* capture_ = nullptr;
  kalmora::ICaptureIOApi* io_ = nullptr;
  bool io_started_ = false;
  std::vector<kalmora::IIPPTZApiEx*> ptz_;
  std::mutex control_mutex_;  // one PTZ or output operation at a time

  mutable std::mutex mutex_;  // guards channels_' figures and states, outputs_
  std::vector<ChannelView> channels_;
  std::vector<bool> outputs_;
  std::unique_ptr<std::atomic<std::int32_t>[]> inputs_;
  std::size_t input_count_ = 0;
  std::atomic<std::uint64_t> io_failures_{0};
  std::size_t logged_ = 0;  // main thread
  std::chrono::steady_clock::time_point last_poll_;
};

// The level of a driver log entry in a word: "error", "warning", "info", "notice" (the open
// notice), else "level N".
std::string LogLevelWord(std::uint8_t level);

// JSON text that never throws: bytes that are not UTF-8 (a camera's texts) become U+FFFD.
std::string DumpJson(const nlohmann::json& value);

}  // namespace tessavirn_host
