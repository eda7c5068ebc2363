// The MPEG-4 clip as the build makes it, and the MPEG-4 stream on the wire (RFC 3016).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "camsim/mpeg4_clip.h"
#include "rtsp_fixture.h"

namespace camsim_test {
namespace {

const std::string kSequenceStart("\0\0\1\xB0", 4);
const std::string kGovStart("\0\0\1\xB3", 4);
const std::string kVopStart("\0\0\1\xB6", 4);

std::string FileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

const camsim::Mpeg4Clip& BuiltClip() {
  static const camsim::Mpeg4Clip clip = [] {
    camsim::Mpeg4Clip loaded;
    std::string error;
    EXPECT_TRUE(loaded.LoadFile(CAMSIM_MPEG4_CLIP, &error)) << error;
    return loaded;
  }();
  return clip;
}

TEST(Mpeg4ClipTest, BuiltClipTakenApartIntoHeaderAndPictures) {
  const std::string file = FileBytes(CAMSIM_MPEG4_CLIP);
  const camsim::Mpeg4Clip& clip = BuiltClip();
  // The encoder writes the header and a GOV before each intra picture, one every 25.
  const std::size_t gov = file.find(kGovStart);
  ASSERT_NE(gov, std::string::npos);
  EXPECT_EQ(clip.config(), file.substr(0, gov));
  ASSERT_EQ(clip.pictures().size(), 100u);
  std::string first_gop;
  for (std::size_t i = 0; i < clip.pictures().size(); ++i) {
    const camsim::Mpeg4ClipPicture& picture = clip.pictures()[i];
    EXPECT_EQ(picture.intra, i % 25 == 0) << i;
    EXPECT_EQ(picture.bytes.substr(0, 4), picture.intra ? kGovStart : kVopStart) << i;
    if (i < 25) first_gop += picture.bytes;
  }
  EXPECT_EQ(first_gop, file.substr(gov, file.find(kSequenceStart, gov) - gov));
}

TEST(Mpeg4ClipTest, StreamsWithoutGovAndWhatIsNoUsableStream) {
  const std::string config = kSequenceStart + "\x01" + std::string("\0\0\1\xB5\x09", 5);
  const std::string intra = kVopStart + "\x10\xAA";
  const std::string predicted = kVopStart + "\x50\xBB";
  camsim::Mpeg4Clip clip;
  std::string error;
  ASSERT_TRUE(clip.Parse(config + intra + predicted + config + intra, &error)) << error;
  EXPECT_EQ(clip.config(), config);
  ASSERT_EQ(clip.pictures().size(), 3u);
  EXPECT_EQ(clip.pictures()[1].bytes, predicted);
  EXPECT_TRUE(clip.pictures()[2].intra);
  const struct {
    const char* label;
    std::string stream;
  } kRows[] = {
      {"no sequence start first", intra + config + intra},
      {"no picture", config},
      {"a predicted picture first", config + predicted + intra},
      {"a GOV without a picture", config + kGovStart + std::string(1, '\0') + config + intra},
      {"a header that changes", config + intra + kSequenceStart + "\x02" + intra},
  };
  for (const auto& row : kRows) EXPECT_FALSE(clip.Parse(row.stream, &error)) << row.label;
}

TEST(Mpeg4StreamTest, HeaderBeforeEachIntraPictureInBothPlacements) {
  const struct {
    const char* label;
    bool own_packet;
    std::size_t max_payload;
  } kRows[] = {
      {"header in the picture's first packet", false, 1400},
      {"header in a packet of its own", true, 500},
  };
  constexpr std::size_t kPictures = 27;  // past the second intra picture
  const std::string address = "127.0.0.41";
  const camsim::Mpeg4Clip& clip = BuiltClip();
  std::string config_hex;
  for (const char c : FileBytes(CAMSIM_MPEG4_CLIP).substr(0, clip.config().size())) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    config_hex += kHex[static_cast<unsigned char>(c) >> 4];
    config_hex += kHex[c & 0xF];
  }
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.label);
    camsim::RtspSettings settings;
    settings.max_payload = row.max_payload;
    settings.mpeg4_header_own_packet = row.own_packet;
    camsim::Simulator simulator;
    ASSERT_TRUE(StartWithRtsp(simulator, address, settings));
    const std::optional<PlayedSession> played = PlaySession(simulator, address, "mpeg4", kPictures);
    ASSERT_TRUE(played);
    EXPECT_NE(played->sdp.find("m=video 0 RTP/AVP 96\r\na=rtpmap:96 MP4V-ES/90000\r\n"
                               "a=fmtp:96 profile-level-id=1;config=" + config_hex + "\r\n"),
              std::string::npos)
        << played->sdp;
    const std::vector<std::vector<RtpView>> by_frame = PacketsByFrame(*played);
    std::size_t pictures = 0;
    std::string header_packet;  // the last header sent in a packet of its own
    for (std::size_t f = 0; f < by_frame.size(); ++f) {
      const camsim::SentFrame& sent = played->frames[f];
      const std::vector<RtpView>& packets = by_frame[f];
      ASSERT_EQ(packets.size(), sent.packets) << "frame " << f;
      std::string joined;
      for (std::size_t p = 0; p < packets.size(); ++p) {
        EXPECT_EQ(packets[p].payload_type, 96);
        EXPECT_EQ(packets[p].time_stamp, sent.rtp_time);
        // The marker ends a picture; a header packet of its own has none.
        EXPECT_EQ(packets[p].marker, p + 1 == packets.size() && !sent.parameter_sets);
        EXPECT_LE(packets[p].payload.size(), row.max_payload);
        joined += packets[p].payload;
      }
      const camsim::Mpeg4ClipPicture& picture = clip.pictures()[sent.clip_unit];
      if (sent.parameter_sets) {
        EXPECT_TRUE(row.own_packet) << "frame " << f;
        // The header takes the picture's GOV header along, so the picture begins with its VOP.
        EXPECT_EQ(joined.substr(0, clip.config().size()), clip.config()) << "frame " << f;
        header_packet = joined;
        ASSERT_LT(f + 1, played->frames.size());
        const camsim::SentFrame& next = played->frames[f + 1];
        EXPECT_TRUE(picture.intra && next.idr && next.clip_unit == sent.clip_unit) << f;
        EXPECT_EQ(next.rtp_time, sent.rtp_time);
        continue;
      }
      EXPECT_EQ(sent.clip_unit, pictures++);
      EXPECT_EQ(sent.idr, picture.intra);
      const bool header_here = picture.intra && !row.own_packet;
      if (picture.intra && row.own_packet) {
        EXPECT_TRUE(f > 0 && played->frames[f - 1].parameter_sets) << "frame " << f;
        EXPECT_EQ(joined.substr(0, 4), std::string("\0\0\1\xB6", 4)) << "frame " << f;
        EXPECT_EQ(header_packet + joined, clip.config() + picture.bytes) << "frame " << f;
      } else {
        EXPECT_EQ(joined, (header_here ? clip.config() : "") + picture.bytes) << "frame " << f;
      }
      if (picture.intra && row.own_packet) {
      } else if (f > 0) {
        EXPECT_EQ(sent.rtp_time - played->frames[f - 1].rtp_time, 3600u) << "frame " << f;
      }
    }
    EXPECT_EQ(pictures, kPictures);
    simulator.Stop();
  }
}

}  // namespace
}  // namespace camsim_test
