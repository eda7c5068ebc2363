// The simulator's "/video.jpg": a moving camera's pictures, the record of pictures served, and
// /camsim/video.
#include <microhttpd.h>

#include <limits>

#include "camsim/faults.h"
#include "camsim/jpeg_picture.h"
#include "camsim/simulator.h"
#include "camsim/simulator_internal.h"

namespace camsim {

void Simulator::SetJpegPicture(std::string picture) {
  std::lock_guard lock(video_mutex_);
  video_.SetFixedPicture(std::move(picture));
}

std::string Simulator::JpegPicture() const {
  std::lock_guard lock(video_mutex_);
  return video_.PictureAt(std::chrono::steady_clock::now());
}

void Simulator::SetVideoJpegSettings(const VideoJpegSettings& settings) {
  const VideoJpegSettings clamped = ClampVideoJpegSettings(settings);
  // Encoded before the lock is taken, so that readers of the old pictures do not wait for it.
  std::vector<std::string> frames =
      EncodeTestLoop(clamped.width, clamped.height, clamped.quality, kVideoLoopFrames);
  std::lock_guard lock(video_mutex_);
  video_.SetLoop(clamped, std::move(frames), std::chrono::steady_clock::now());
}

VideoJpegSettings Simulator::video_jpeg_settings() const {
  std::lock_guard lock(video_mutex_);
  return video_.settings();
}

std::vector<ServedPicture> Simulator::ServedPictures() const {
  std::lock_guard lock(video_mutex_);
  return {served_.begin(), served_.end()};
}

void Simulator::ClearServedPictures() {
  std::lock_guard lock(video_mutex_);
  served_.clear();
}

bool Simulator::AnswerVideo(MHD_Connection* connection, bool head, RequestRecord record,
                            const std::vector<Fault>& faults, int peer_socket) {
  VideoJpegStream::Body body;
  {
    std::lock_guard lock(video_mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (head) {
      body.bytes = video_.PictureAt(now);
    } else {
      body = video_.NextBody(now);
    }
  }
  // The picture was taken when the request came; the jitter holds back its delivery.
  if (body.delay.count() > 0) Wait(body.delay, peer_socket);
  record.status = MHD_HTTP_OK;
  AppendLog(std::move(record));
  if (!Queue(connection, Reply{MHD_HTTP_OK, std::move(body.bytes), kJpegType}, faults, nullptr,
             false)) {
    return false;
  }
  if (body.completed.empty()) return true;
  const auto completed = std::chrono::steady_clock::now();
  std::lock_guard lock(video_mutex_);
  for (std::string& picture : body.completed) {
    served_.push_back(ServedPicture{next_served_sequence_++, std::move(picture), completed});
    if (served_.size() > kMaxServedPictures) served_.pop_front();
  }
  return true;
}

Simulator::Reply Simulator::AnswerVideoAdmin(const std::vector<std::string>& items) {
  VideoJpegSettings settings = video_jpeg_settings();
  struct Field {
    std::string_view name;
    std::int64_t min, max;
    int* value;
  };
  const Field kIntFields[] = {
      {"fps", 1, kVideoMaxFps, &settings.fps},
      {"jitter", 0, kVideoMaxJitterMs, &settings.jitter_ms},
      {"width", 1, 4096, &settings.width},
      {"height", 1, 4096, &settings.height},
      {"quality", 1, 100, &settings.quality},
  };
  for (const std::string& item : items) {
    const std::size_t equals = item.find('=');
    const std::string_view name = std::string_view(item).substr(0, equals);
    const std::string_view value = equals == std::string::npos
                                       ? std::string_view()
                                       : std::string_view(item).substr(equals + 1);
    if (name == "mode") {
      const std::optional<VideoJpegMode> mode = ParseVideoJpegMode(value);
      if (!mode) {
        return Reply{400, "mode is single, two-per-body, split-two, split-three or no-picture\r\n",
                     kTextType};
      }
      settings.mode = *mode;
      continue;
    }
    const std::optional<std::int64_t> number = ParseFaultNumber(value);
    if (name == "seed") {
      if (!number || *number < 0 || *number > std::numeric_limits<std::uint32_t>::max()) {
        return Reply{400, "seed is a number from 0 to 4294967295\r\n", kTextType};
      }
      settings.seed = static_cast<std::uint32_t>(*number);
      continue;
    }
    const Field* field = nullptr;
    for (const Field& candidate : kIntFields) {
      if (candidate.name == name) field = &candidate;
    }
    if (field == nullptr) return Reply{400, "unknown setting: " + item + "\r\n", kTextType};
    if (!number || *number < field->min || *number > field->max) {
      return Reply{400,
                   std::string(name) + " is a number from " + std::to_string(field->min) + " to " +
                       std::to_string(field->max) + "\r\n",
                   kTextType};
    }
    *field->value = static_cast<int>(*number);
  }
  if (!items.empty()) SetVideoJpegSettings(settings);
  Reply reply;
  for (const std::string& line :
       {"mode=" + std::string(VideoJpegModeName(settings.mode)),
        "fps=" + std::to_string(settings.fps), "jitter=" + std::to_string(settings.jitter_ms),
        "seed=" + std::to_string(settings.seed), "width=" + std::to_string(settings.width),
        "height=" + std::to_string(settings.height),
        "quality=" + std::to_string(settings.quality)}) {
    reply.body += line + "\r\n";
  }
  return reply;
}

}  // namespace camsim
