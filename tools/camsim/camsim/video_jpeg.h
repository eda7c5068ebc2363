// "/video.jpg" as a moving camera serves it: which picture is current, how pictures are laid into
// the bodies of successive 200 replies, and how long each reply is held back.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

// How the pictures go into the bodies of the 200 replies to "/video.jpg".
enum class VideoJpegMode {
  kSingle,      // each body is one whole picture
  kTwoPerBody,  // each body is two consecutive pictures back to back
  kSplitTwo,    // one picture over two successive bodies, cut at arbitrary points
  kSplitThree,  // one picture over three successive bodies
  kNoPicture,   // no complete picture: an HTML error page, or a picture cut off before its end
};

// "single", "two-per-body", "split-two", "split-three", "no-picture".
std::string_view VideoJpegModeName(VideoJpegMode mode);
std::optional<VideoJpegMode> ParseVideoJpegMode(std::string_view name);

constexpr int kVideoMaxFps = 1000;
constexpr int kVideoMaxJitterMs = 60000;

struct VideoJpegSettings {
  VideoJpegMode mode = VideoJpegMode::kSingle;
  int fps = 25;       // the picture served changes every 1000/fps ms; 1 to kVideoMaxFps
  int jitter_ms = 0;  // each /video.jpg reply waits a seeded random 0..jitter_ms before it goes out
  std::uint32_t seed = 1;  // of the jitter and of the cut points that are drawn
  int width = 640, height = 480, quality = 75;  // of the loop's frames (1 to 4096, 1 to 100)
};

// The same settings with every field brought into its range.
VideoJpegSettings ClampVideoJpegSettings(VideoJpegSettings settings);

// One complete picture as it went out.
struct ServedPicture {
  std::uint64_t sequence;  // 1, 2, ... in the order pictures were completed
  std::string jpeg;
  std::chrono::steady_clock::time_point completed;  // when the reply with its last byte was queued
};

// The pictures of "/video.jpg" and the bodies they go out in. One picture source is in force: a
// loop of frames from SetLoop (the current one chosen by the clock and fps), or one fixed picture
// from SetFixedPicture that every frame repeats. Split pictures and the seeded draws continue from
// body to body, whichever connection asks. Not thread-safe: Simulator guards it with its lock.
class VideoJpegStream {
 public:
  using Clock = std::chrono::steady_clock;

  // What one 200 reply carries.
  struct Body {
    std::string bytes;
    std::chrono::milliseconds delay{0};  // the jitter the reply waits before it goes out
    std::vector<std::string> completed;  // the pictures whose last byte is in bytes, in order
  };

  explicit VideoJpegStream(std::string fixed_picture);

  // Serves frames (at least one) in a loop under settings: the frame clock starts at now, the
  // seeded draws start again, a picture split half-way is dropped.
  void SetLoop(const VideoJpegSettings& settings, std::vector<std::string> frames,
               Clock::time_point now);
  // Every frame is picture from now on; mode, fps and jitter stay. A split picture is dropped.
  void SetFixedPicture(std::string picture);
  const VideoJpegSettings& settings() const { return settings_; }

  // The picture the camera shows at now.
  const std::string& PictureAt(Clock::time_point now) const;
  // The body of the next 200 reply, at now.
  Body NextBody(Clock::time_point now);

 private:
  std::uint64_t FrameAt(Clock::time_point now) const;
  const std::string& Frame(std::uint64_t index) const { return frames_[index % frames_.size()]; }
  // The next part of the picture being split in parts, starting a new one when none is.
  void NextPart(std::size_t parts, Clock::time_point now, Body* body);
  void NoPicture(Clock::time_point now, Body* body);

  VideoJpegSettings settings_;
  std::vector<std::string> frames_;  // never empty
  Clock::time_point epoch_;          // frame 0 starts here
  std::mt19937 jitter_random_;
  std::mt19937 cut_random_;
  std::string split_;                    // the picture being split, empty between pictures
  std::vector<std::size_t> split_ends_;  // where each of its parts ends
  std::size_t next_part_ = 0;
  std::uint64_t pictures_split_ = 0;          // chooses the next picture's cut points
  std::uint64_t bodies_without_picture_ = 0;  // chooses the next kNoPicture body
};

}  // namespace camsim
