#include "live_channel.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "host/types.h"
#include "picture_transcoder.h"
#include "recording_consumer.h"

namespace tessavirn_host {

LiveChannel::Viewer::Viewer(LiveChannel& channel) : channel_(channel) { ++channel_.viewers_; }
LiveChannel::Viewer::~Viewer() { --channel_.viewers_; }

LiveChannel::LiveChannel(std::uint32_t channel, std::int32_t stream_type, int jpeg_quality)
    : channel_(channel), quality_(jpeg_quality), transcoded_(stream_type != kalmora::ipcapture::kStreamMjpeg) {
  if (!transcoded_) return;
  const auto codec = stream_type == kalmora::ipcapture::kStreamMpeg4 ? PictureTranscoder::Codec::kMpeg4
                                                                      : PictureTranscoder::Codec::kH264;
  try {
    transcoder_ = std::make_unique<PictureTranscoder>(codec);
  } catch (const std::exception&) {
    // No decoder in this FFmpeg build: the channel is counted but shows no picture.
    return;
  }
  worker_ = std::thread([this] { Work(); });
}

LiveChannel::~LiveChannel() { Close(); }

bool LiveChannel::CaptureFrameCallback(kalmora::ipcapture::ICaptureFrame* frame) {
  if (frame == nullptr) return false;
  const std::uint32_t length = frame->GetDataLength();
  if (length > frame->GetCapacity()) return false;
  ++frames_;
  bytes_ += length;
  width_.store(frame->GetWidth());
  height_.store(frame->GetHeight());
  if (closed_.load()) return true;
  const std::uint8_t* data = frame->GetData();
  const std::uint32_t type = frame->GetFrameType();

  if (!transcoded_) {
    // A Motion-JPEG picture goes to the viewers as it came, when one of them waits for it.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (waiting_ == 0) return true;
    }
    auto jpeg = std::make_shared<const std::vector<std::uint8_t>>(data, data + length);
    const auto size = JpegPictureSize(*jpeg);
    Publish(std::move(jpeg), size ? size->first : static_cast<int>(frame->GetWidth()),
            size ? size->second : static_cast<int>(frame->GetHeight()));
    return true;
  }

  if (transcoder_ == nullptr) return true;
  const bool key = IsKeyFrameType(type);
  std::lock_guard<std::mutex> lock(mutex_);
  if (key) {
    // Frames before a key frame that nobody has asked to see yet are not needed any more.
    queue_.clear();
    queued_bytes_ = 0;
    need_key_ = false;
  } else if (need_key_) {
    return true;
  }
  if (queue_.size() >= kMaxQueuedFrames || queued_bytes_ + length > kMaxQueuedBytes) {
    queue_.clear();
    queued_bytes_ = 0;
    need_key_ = true;
    reset_decoder_ = true;
    return true;
  }
  queue_.push_back({std::vector<std::uint8_t>(data, data + length), key});
  queued_bytes_ += length;
  if (waiting_ > 0) work_ready_.notify_one();
  return true;
}

void LiveChannel::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    work_ready_.wait(lock, [this] { return closed_.load() || (waiting_ > 0 && !queue_.empty()); });
    if (closed_.load()) return;
    std::deque<QueuedFrame> frames;
    frames.swap(queue_);
    queued_bytes_ = 0;
    const bool reset = std::exchange(reset_decoder_, false);
    lock.unlock();
    if (reset) transcoder_->Reset();
    bool decoded = false;
    for (const QueuedFrame& frame : frames) {
      if (transcoder_->Decode(frame.bytes)) {
        decoded = true;
        ++decoded_;
      }
    }
    if (decoded) {
      auto jpeg = transcoder_->EncodeLatest(quality_);
      if (!jpeg.empty()) {
        Publish(std::make_shared<const std::vector<std::uint8_t>>(std::move(jpeg)), transcoder_->width(),
                transcoder_->height());
      }
    }
    lock.lock();
  }
}

void LiveChannel::Publish(std::shared_ptr<const std::vector<std::uint8_t>> jpeg, int width, int height) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    latest_ = {latest_.sequence + 1, std::move(jpeg), width, height};
  }
  ++pictures_;
  picture_ready_.notify_all();
}

LivePicture LiveChannel::WaitPicture(std::uint64_t after, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (latest_.sequence > after || closed_.load()) return latest_;
  ++waiting_;
  if (!queue_.empty()) work_ready_.notify_one();
  picture_ready_.wait_until(lock, deadline, [&] { return closed_.load() || latest_.sequence > after; });
  --waiting_;
  return latest_;
}

LivePicture LiveChannel::Latest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latest_;
}

void LiveChannel::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_.store(true);
    queue_.clear();
    queued_bytes_ = 0;
  }
  picture_ready_.notify_all();
  work_ready_.notify_all();
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

LiveChannelFigures LiveChannel::Figures() const {
  LiveChannelFigures figures;
  figures.frames = frames_.load();
  figures.bytes = bytes_.load();
  figures.decoded = decoded_.load();
  figures.pictures = pictures_.load();
  figures.width = width_.load();
  figures.height = height_.load();
  figures.viewers = viewers_.load();
  return figures;
}

}  // namespace tessavirn_host
