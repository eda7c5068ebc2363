#include "camsim/video_jpeg.h"

#include <algorithm>
#include <array>
#include <utility>

namespace camsim {
namespace {

constexpr std::array<std::pair<VideoJpegMode, std::string_view>, 5> kModeNames = {{
    {VideoJpegMode::kSingle, "single"},
    {VideoJpegMode::kTwoPerBody, "two-per-body"},
    {VideoJpegMode::kSplitTwo, "split-two"},
    {VideoJpegMode::kSplitThree, "split-three"},
    {VideoJpegMode::kNoPicture, "no-picture"},
}};

constexpr int kMaxDimension = 4096;
// A picture shorter than this goes out whole instead of in parts: the cut rules need room.
constexpr std::size_t kMinSplitSize = 16;
// Fixed seed offset, so that the cut draws do not repeat the jitter draws.
constexpr std::uint32_t kCutSeedOffset = 0x9E3779B9u;

// An error page as cameras send with a 200 status when no picture is available; no 0xFF byte.
constexpr std::string_view kErrorPage =
    "<html><head><title>Video not available</title></head>\r\n"
    "<body><h1>No video signal</h1></body></html>\r\n";

// Where the parts of a picture of size bytes end. The rounds go through the cuts a client finds
// hardest: between the 0xFF and 0xD8 of the start marker, between the 0xFF and 0xD9 of the end
// marker, inside the first segment's marker, a one-byte part, and seeded cuts anywhere.
std::vector<std::size_t> PartEnds(std::size_t size, std::size_t parts, std::uint64_t round,
                                  std::mt19937& random) {
  auto anywhere = [&] { return 4 + random() % (size - 8); };
  std::vector<std::size_t> cuts;
  if (parts == 2) {
    switch (round % 4) {
      case 0: cuts = {1}; break;
      case 1: cuts = {size - 1}; break;
      case 2: cuts = {3}; break;
      default: cuts = {anywhere()}; break;
    }
  } else {
    switch (round % 4) {
      case 0: cuts = {1, size - 1}; break;
      case 1: cuts = {2, 3}; break;
      case 2: {
        std::size_t first = anywhere();
        std::size_t second = anywhere();
        if (first > second) std::swap(first, second);
        if (first == second) ++second;
        cuts = {first, second};
        break;
      }
      default: cuts = {size / 3, size - 2}; break;
    }
  }
  cuts.push_back(size);
  return cuts;
}

}  // namespace

std::string_view VideoJpegModeName(VideoJpegMode mode) {
  for (const auto& [m, name] : kModeNames) {
    if (m == mode) return name;
  }
  return "?";
}

std::optional<VideoJpegMode> ParseVideoJpegMode(std::string_view name) {
  for (const auto& [mode, mode_name] : kModeNames) {
    if (mode_name == name) return mode;
  }
  return std::nullopt;
}

VideoJpegSettings ClampVideoJpegSettings(VideoJpegSettings settings) {
  settings.fps = std::clamp(settings.fps, 1, kVideoMaxFps);
  settings.jitter_ms = std::clamp(settings.jitter_ms, 0, kVideoMaxJitterMs);
  settings.width = std::clamp(settings.width, 1, kMaxDimension);
  settings.height = std::clamp(settings.height, 1, kMaxDimension);
  settings.quality = std::clamp(settings.quality, 1, 100);
  return settings;
}

VideoJpegStream::VideoJpegStream(std::string fixed_picture)
    : frames_{std::move(fixed_picture)},
      jitter_random_(settings_.seed),
      cut_random_(settings_.seed + kCutSeedOffset) {}

void VideoJpegStream::SetLoop(const VideoJpegSettings& settings, std::vector<std::string> frames,
                              Clock::time_point now) {
  settings_ = ClampVideoJpegSettings(settings);
  frames_ = frames.empty() ? std::vector<std::string>{std::string()} : std::move(frames);
  epoch_ = now;
  jitter_random_.seed(settings_.seed);
  cut_random_.seed(settings_.seed + kCutSeedOffset);
  split_.clear();
  pictures_split_ = 0;
  bodies_without_picture_ = 0;
}

void VideoJpegStream::SetFixedPicture(std::string picture) {
  frames_ = {std::move(picture)};
  split_.clear();
}

std::uint64_t VideoJpegStream::FrameAt(Clock::time_point now) const {
  if (now <= epoch_) return 0;
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - epoch_);
  return static_cast<std::uint64_t>(elapsed.count()) * static_cast<std::uint64_t>(settings_.fps) /
         1'000'000u;
}

const std::string& VideoJpegStream::PictureAt(Clock::time_point now) const {
  return Frame(FrameAt(now));
}

VideoJpegStream::Body VideoJpegStream::NextBody(Clock::time_point now) {
  Body body;
  if (settings_.jitter_ms > 0) {
    body.delay = std::chrono::milliseconds(jitter_random_() %
                                           static_cast<std::uint32_t>(settings_.jitter_ms + 1));
  }
  const std::uint64_t frame = FrameAt(now);
  switch (settings_.mode) {
    case VideoJpegMode::kSingle:
      body.bytes = Frame(frame);
      body.completed.push_back(body.bytes);
      break;
    case VideoJpegMode::kTwoPerBody:
      // The picture before the current one and the current one, as from a camera's send queue.
      body.completed = {Frame(frame + frames_.size() - 1), Frame(frame)};
      body.bytes = body.completed[0] + body.completed[1];
      break;
    case VideoJpegMode::kSplitTwo: NextPart(2, now, &body); break;
    case VideoJpegMode::kSplitThree: NextPart(3, now, &body); break;
    case VideoJpegMode::kNoPicture: NoPicture(now, &body); break;
  }
  return body;
}

void VideoJpegStream::NextPart(std::size_t parts, Clock::time_point now, Body* body) {
  if (split_.empty()) {
    const std::string& picture = PictureAt(now);
    if (picture.size() < kMinSplitSize) {
      body->bytes = picture;
      body->completed.push_back(picture);
      return;
    }
    split_ = picture;
    split_ends_ = PartEnds(split_.size(), parts, pictures_split_++, cut_random_);
    next_part_ = 0;
  }
  const std::size_t begin = next_part_ == 0 ? 0 : split_ends_[next_part_ - 1];
  body->bytes = split_.substr(begin, split_ends_[next_part_] - begin);
  if (++next_part_ == split_ends_.size()) {
    body->completed.push_back(std::move(split_));
    split_.clear();
  }
}

void VideoJpegStream::NoPicture(Clock::time_point now, Body* body) {
  // Every other body is the start of a picture whose end never comes.
  if (bodies_without_picture_++ % 2 == 0) {
    body->bytes = kErrorPage;
  } else {
    const std::string& picture = PictureAt(now);
    body->bytes = picture.substr(0, picture.size() / 2);
  }
}

}  // namespace camsim
