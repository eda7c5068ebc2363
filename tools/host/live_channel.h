#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/frame.h"

namespace tessavirn_host {

class PictureTranscoder;

// One JPEG picture of a channel as viewers get it.
struct LivePicture {
  std::uint64_t sequence = 0;  // 1, 2, ... per channel; 0: no picture
  std::shared_ptr<const std::vector<std::uint8_t>> jpeg;
  int width = 0;
  int height = 0;
};

// What the page shows of a channel besides its pictures.
struct LiveChannelFigures {
  std::uint64_t frames = 0;   // delivered by the driver
  std::uint64_t bytes = 0;
  std::uint64_t decoded = 0;  // H.264 and MPEG-4 frames decoded for viewers
  std::uint64_t pictures = 0;  // JPEG pictures made for viewers
  std::uint32_t width = 0;     // of the last frame, as the frame says
  std::uint32_t height = 0;
  int viewers = 0;
};

// The frame callback of one channel of the view, and its live pictures.
//
// Motion-JPEG frames are handed on as they came. H.264 and MPEG-4 frames are decoded and the
// latest picture encoded as JPEG, by a worker thread of the channel, so the driver's receive
// thread only copies a frame into a queue. Nothing is decoded while nobody watches: the queue
// then holds only the frames from the last key frame on, so a viewer who arrives gets a picture
// at once. Pictures are made on demand: when a viewer waits for a newer picture than it has, the
// worker decodes what is queued and encodes the last picture once, for every viewer waiting; a
// viewer that is slower than the stream gets fewer pictures, and frames queued behind a key
// frame it did not wait for are never decoded.
//
// Threads: the callbacks run on driver threads; viewers wait on server threads; Close wakes
// every waiter and joins the worker.
class LiveChannel final : public kalmora::ipcapture::ICaptureFrameCallback {
 public:
  using Clock = std::chrono::steady_clock;

  // The most frame bytes queued for decoding; beyond it the queue is dropped and decoding
  // resumes at the next key frame.
  static constexpr std::size_t kMaxQueuedBytes = 32u << 20;
  static constexpr std::size_t kMaxQueuedFrames = 600;

  // A viewer's presence, counted while the object lives.
  class Viewer {
   public:
    explicit Viewer(LiveChannel& channel);
    ~Viewer();
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

   private:
    LiveChannel& channel_;
  };

  LiveChannel(std::uint32_t channel, std::int32_t stream_type, int jpeg_quality);
  ~LiveChannel() override;
  LiveChannel(const LiveChannel&) = delete;
  LiveChannel& operator=(const LiveChannel&) = delete;

  bool CaptureFrameCallback(kalmora::ipcapture::ICaptureFrame* frame) override;
  void Reserved3() override {}
  void NotifyNoSignal() override {}

  // The first picture after the one numbered after, waiting for it until deadline (asking the
  // worker for it meanwhile). When none comes in time, or after Close: the latest picture there
  // is, which may be the one numbered after, or none (sequence 0).
  LivePicture WaitPicture(std::uint64_t after, Clock::time_point deadline);
  // The latest picture without waiting.
  LivePicture Latest() const;
  // Wakes every waiter for good and stops the worker. Frames that still arrive are counted only.
  void Close();
  bool closed() const { return closed_.load(); }

  std::uint32_t channel() const { return channel_; }
  LiveChannelFigures Figures() const;

 private:
  void Work();
  void Publish(std::shared_ptr<const std::vector<std::uint8_t>> jpeg, int width, int height);

  const std::uint32_t channel_;
  const int quality_;
  const bool transcoded_;  // H.264 or MPEG-4, not Motion-JPEG
  std::unique_ptr<PictureTranscoder> transcoder_;  // used by the worker only

  std::atomic<std::uint64_t> frames_{0};
  std::atomic<std::uint64_t> bytes_{0};
  std::atomic<std::uint64_t> decoded_{0};
  std::atomic<std::uint64_t> pictures_{0};
  std::atomic<std::uint32_t> width_{0};
  std::atomic<std::uint32_t> height_{0};
  std::atomic<int> viewers_{0};
  std::atomic<bool> closed_{false};

  mutable std::mutex mutex_;
  std::condition_variable picture_ready_;  // a picture was published, or closed
  std::condition_variable work_ready_;     // frames queued with a viewer waiting, or closed
  struct QueuedFrame {
    std::vector<std::uint8_t> bytes;
    bool key = false;
  };
  std::deque<QueuedFrame> queue_;  // under mutex_
  std::size_t queued_bytes_ = 0;   // under mutex_
  bool need_key_ = true;           // under mutex_: frames are dropped until a key frame
  bool reset_decoder_ = false;     // under mutex_: the worker resets before decoding the queue
  int waiting_ = 0;                // under mutex_: viewers waiting for a newer picture
  LivePicture latest_;             // under mutex_
  std::thread worker_;
};

}  // namespace tessavirn_host
